#include "gui/desktop_module.h"

#include "gui/desktop_app.h"

extern "C" [[gnu::visibility("default")]] int tarnhold_run_desktop(int* argc, char** argv,
                                                                   const SettingsFiles* files,
                                                                   const sigset_t* stopSignals) {
    return RunDesktop(*argc, argv, *files, *stopSignals);
}

// The executable looks the entry up by name; a type that drifted from the
// shared declaration would show here.
[[maybe_unused]] static constexpr DesktopEntry kEntryMatches = &tarnhold_run_desktop;
