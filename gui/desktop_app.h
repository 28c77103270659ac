// The desktop run of the program: the server, the application object and
// the main window, from start to the end of the process.
#pragma once

#include <signal.h>

#include "config/settings.h"

// Runs the desktop console with the settings in `files` until the Exit
// command (menu, popup, or one of `stopSignals`, which the caller has
// blocked in every thread). The process end follows the window's: the
// settings are saved, the window is destroyed, then the server, which
// waits for its sessions. Returns the exit status: 0, or 1 when the
// settings could not be saved.
int RunDesktop(int& argc, char** argv, const SettingsFiles& files, const sigset_t& stopSignals);
