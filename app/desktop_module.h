// The desktop console as a loadable module (tarnhold-desktop.so): the
// executable loads it only when it runs with a display, so a headless
// server never maps Qt and the libraries it brings. This header, free of
// Qt, is what the executable and the module agree on.
#pragma once

#include <signal.h>

#include "config/settings.h"

// The module's file name, beside the executable in the build tree and in
// the program's module folder once installed.
inline constexpr char kDesktopModuleName[] = "tarnhold-desktop.so";

// The one symbol the module exports: RunDesktop (gui/desktop_app.h) with
// C linkage, its references passed as pointers.
inline constexpr char kDesktopEntryName[] = "tarnhold_run_desktop";
using DesktopEntry = int (*)(int* argc, char** argv, const SettingsFiles* files,
                             const sigset_t* stopSignals);
