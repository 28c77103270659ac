// Loads the desktop console's module and runs it (app/desktop_module.h).
#pragma once

#include <signal.h>

#include "config/settings.h"

// Runs the desktop console as RunDesktop (gui/desktop_app.h) does, from the
// module found by ProgramModule(kDesktopModuleName). When the module cannot be loaded, says
// why on standard error (and that --headless runs without it) and returns 1.
int RunDesktopModule(int& argc, char** argv, const SettingsFiles& files,
                     const sigset_t& stopSignals);
