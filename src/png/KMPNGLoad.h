// Makes "PNG" files load as TKMPNG pictures through the picture registry.
#pragma once

// Registers TKMPNG for the extension "PNG" ("PNG Format") once, however often it is called;
// the registration is withdrawn at program exit. Programs call it at start; linking TKMPNG
// also registers it during static initialisation.
void RegisterPNGFormat();
