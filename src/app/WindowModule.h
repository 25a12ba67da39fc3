// The window, its dialogs and the toolkit under them live in a module of their own, loaded
// only when a window opens, so that a run without one does not load the toolkit at all. The
// photo codecs have a module too (PhotoStamp.h), opened the same way.
#pragma once

#include <string>

// Loads the module from beside the program (a build folder) or from the installed library
// folder and runs the window until it is left; returns the exit status, 1 when the module
// cannot be loaded (the reason on standard error).
int RunWindowModule(int argc, char** argv);

// The module's entry, called by RunWindowModule.
extern "C" int kirimark_run_window(int argc, char** argv);

// Opens the module of that file name from beside the program or from the installed library
// folder and gives its entry of that name; nullptr when neither can be had, with the reasons
// (each behind a line feed and two spaces) added to reasons. The module stays loaded.
void* OpenModuleEntry(const char* moduleName, const char* entryName, std::string& reasons);
