#include "app/desktop_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "config/program_paths.h"
#include "app/desktop_module.h"

int RunDesktopModule(int& argc, char** argv, const SettingsFiles& files,
                     const sigset_t& stopSignals) {
    const std::string path = ProgramModule(kDesktopModuleName);
    // Never unloaded: the process ends when the console does.
    void* module = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* error = module == nullptr ? dlerror() : nullptr;
    auto entry = module == nullptr
                     ? nullptr
                     : reinterpret_cast<DesktopEntry>(dlsym(module, kDesktopEntryName));
    if (entry == nullptr) {
        if (error == nullptr) error = module == nullptr ? "its folder is unknown" : dlerror();
        std::fprintf(stderr,
                     "tarnhold: cannot load the desktop console %s: %s\n"
                     "tarnhold: --headless runs the server without it\n",
                     path.c_str(), error != nullptr ? error : "no entry point");
        return 1;
    }
    return entry(&argc, argv, &files, &stopSignals);
}
