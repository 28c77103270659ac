#include "app/desktop_module.h"

#include "config/program_paths.h"
#include "gui/desktop_app.h"
#include "net/tls.h"

extern "C" [[gnu::visibility("default")]] int tarnhold_run_desktop(int* argc, char** argv,
                                                                   const SettingsFiles* files,
                                                                   const sigset_t* stopSignals) {
    // The module has its own copy of the server code, and so of its loader.
    SetTlsModulePath(TlsModule());
    return RunDesktop(*argc, argv, *files, *stopSignals);
}

// The executable looks the entry up by name; a type that drifted from the
// shared declaration would show here.
[[maybe_unused]] static constexpr DesktopEntry kEntryMatches = &tarnhold_run_desktop;
