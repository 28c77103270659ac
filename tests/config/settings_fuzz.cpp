// libFuzzer entry: loads arbitrary bytes as a settings file. Built as
// settings_fuzz with -DTARNHOLD_FUZZ=ON and clang (scripts/fuzz.sh); the
// same file builds into settings_fuzz_replay, which runs the saved inputs
// in every build.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/account_store.h"
#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char pattern[] = "/tmp/tarnhold-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        return std::string(pattern);
    }();
    const SettingsFiles files = SettingsFilesIn(folder);
    FILE* out = std::fopen(files.settingsPath.c_str(), "wb");
    if (out == nullptr) std::abort();
    std::fwrite(data, 1, size, out);
    std::fclose(out);
    AccountStore store;
    LoadSettings(store, files);
    return 0;
}
