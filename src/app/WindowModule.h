// The window, its dialogs and the toolkit under them live in a module of their own, loaded
// only when a window opens, so that a run without one does not load the toolkit at all.
#pragma once

// Loads the module from beside the program (a build folder) or from the installed library
// folder and runs the window until it is left; returns the exit status, 1 when the module
// cannot be loaded (the reason on standard error).
int RunWindowModule(int argc, char** argv);

// The module's entry, called by RunWindowModule.
extern "C" int kirimark_run_window(int argc, char** argv);
