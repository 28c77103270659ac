// tarnhold: the FTP server's executable.
//
//   tarnhold [--headless] [--config-dir DIR] [--help]
//
// Start-up constructs the server, attaches the console to its events,
// loads the settings, hands over the idle time-out and runs the Start
// command; the server then serves until SIGTERM or SIGINT, which run the
// Exit command: stop listening, save the settings, and end once every
// session has ended.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/headless_console.h"
#include "config/account_store.h"
#include "config/settings.h"
#include "engine/ftp_server.h"
#include "engine/server_control.h"

namespace {

constexpr int kExitUsage = 2;

struct Options {
    bool headless = false;
    std::string configDir;  // empty: the executable's folder
};

void PrintUsage(std::FILE* to) {
    std::fputs(
        "usage: tarnhold [--headless] [--config-dir DIR]\n"
        "  --headless        run without windows; the log goes to standard output\n"
        "  --config-dir DIR  keep the settings (tarnhold.bot, tarnhold.bak) in DIR\n"
        "                    instead of the executable's folder\n"
        "  --help            show this text\n",
        to);
}

// Fills `options`; returns -1 to go on, or the exit code to end with.
int ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--config-dir" && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.configDir = argv[++i];
        } else if (arg.starts_with("--config-dir=") && arg.size() > 13) {
            options.configDir = std::string(arg.substr(13));
        } else if (arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tarnhold: unknown or incomplete option '%s'\n", argv[i]);
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    return -1;
}

// The folder of the running executable, or empty when it cannot be found.
std::string ExecutableFolder() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int code = ParseOptions(argc, argv, options); code >= 0) return code;

    std::string folder = options.configDir;
    if (folder.empty()) {
        folder = ExecutableFolder();
        if (folder.empty()) {
            std::fputs("tarnhold: cannot find the executable's folder; use --config-dir\n", stderr);
            return 1;
        }
    }
    if (!IsFolder(folder)) {
        std::fprintf(stderr, "tarnhold: the settings folder '%s' is not a folder\n", folder.c_str());
        return kExitUsage;
    }
    if (!options.headless && HasDisplay()) {
        std::fputs("tarnhold: the desktop console is not available in this build; running headless\n",
                   stderr);
    }

    // Blocked before any thread starts, so that every thread inherits the
    // mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const SettingsFiles files = SettingsFilesIn(folder);
    // The console outlives the server: sessions report to it until the
    // server's destruction has waited for the last of them.
    HeadlessConsole console;
    auto server = std::make_unique<CIP_FTPServer>();
    server->events.Attach(&console);
    LoadSettings(server->store, files);
    uint32_t idleTimeout;
    {
        AccountStore::Lock lock(server->store);
        idleTimeout = server->store.options.idletimeout;
    }
    server->SetIdleTimeout(IdleTimeoutFromOption(idleTimeout));

    ServerControl control(*server, server->store, console);
    control.Start();

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }

    const bool saved = control.Exit(files);
    if (!saved) {
        std::fprintf(stderr, "tarnhold: could not save the settings to %s\n",
                     files.settingsPath.c_str());
    }
    // Waits until every session has seen the shutdown and ended.
    server.reset();
    return saved ? 0 : 1;
}
