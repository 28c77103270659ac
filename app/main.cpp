// tarnhold: the FTP server's executable.
//
//   tarnhold [--headless] [--config-dir DIR] [--help] [--version]
//   tarnhold [--config-dir DIR] account|path|option ...  (admin_commands.h)
//
// With a display and without --headless it runs the desktop console.
// Headless, start-up constructs the server, attaches the console to its
// events, loads the settings, hands over the idle time-out and runs the
// Start command; the server then serves until SIGTERM or SIGINT, which run
// the Exit command: stop listening, save the settings, and end once every
// session has ended.
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/admin_commands.h"
#include "app/desktop_loader.h"
#include "app/headless_console.h"
#include "config/program_paths.h"
#include "app/settings_lock.h"
#include "config/account_store.h"
#include "config/settings.h"
#include "engine/ftp_server.h"
#include "engine/server_control.h"
#include "net/socket.h"
#include "net/tls.h"

namespace {

constexpr int kExitUsage = 2;

// Allocations from this size on are mapped on their own and unmapped when
// freed (the allocator's initial threshold, kept fixed).
constexpr int kReturnedAllocationBytes = 128 * 1024;

struct Options {
    bool headless = false;
    std::string configDir;  // empty: the user's settings folder
};

void PrintUsage(std::FILE* to) {
    std::fputs(
        "usage: tarnhold [--headless] [--config-dir DIR]\n"
        "  --headless        run without windows; the log goes to standard output\n"
        "                    (also when there is no display)\n"
        "  --config-dir DIR  keep the settings (tarnhold.bot, tarnhold.bak, tarnhold.conf)\n"
        "                    in DIR instead of ${XDG_CONFIG_HOME:-~/.config}/tarnhold\n"
        "  --help            show this text\n"
        "  --version         show the version\n",
        to);
    PrintAdminUsage(to);
    std::fprintf(to, "\nHelp manual: %s/tarnhold.hlp\n", DataFolder().c_str());
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
        } else if (arg == "--version") {
            std::printf("tarnhold %s\n", ProgramVersion());
            return 0;
        } else {
            std::fprintf(stderr, "tarnhold: unknown or incomplete option '%s'\n", argv[i]);
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    return -1;
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
    // Under a file-size limit a write past it must fail with EFBIG, as any
    // other failed write does (the save keeps the previous settings, the
    // upload gets its failure reply), instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    if (IsAdminCommand(argc, argv)) return RunAdminCommand(argc, argv, stdin, stdout, stderr);

    Options options;
    if (int code = ParseOptions(argc, argv, options); code >= 0) return code;
    // Each connection is a descriptor; the soft limit is often far below
    // the hard one.
    RaiseDescriptorLimit();
    // A transfer's buffers (256 KiB) go back to the system when it ends.
    // Left to itself, the allocator raises this threshold after the first
    // such buffer is freed and keeps the later ones in its per-thread
    // arenas, so a burst of transfers would leave the idle server
    // megabytes larger for good.
    mallopt(M_MMAP_THRESHOLD, kReturnedAllocationBytes);
    // One arena for all threads: by default each of up to 16 session
    // threads at once gets an arena of its own, and malloc_trim() shrinks
    // only the main one, so every other arena keeps its free end resident
    // after its threads have ended. The threads' own caches take most
    // allocations without the arena's lock.
    mallopt(M_ARENA_MAX, 1);

    std::string folder = options.configDir;
    if (folder.empty()) {
        std::string error;
        folder = DefaultSettingsFolder(error);
        if (folder.empty()) {
            std::fprintf(stderr, "tarnhold: %s\n", error.c_str());
            return 1;
        }
    }
    if (!IsFolder(folder)) {
        std::fprintf(stderr, "tarnhold: the settings folder '%s' is not a folder\n", folder.c_str());
        return kExitUsage;
    }
    // One server per settings folder, or the one that exits last would
    // overwrite the other's changes. Held until the process ends.
    SettingsLock settingsLock;
    {
        long holder = 0;
        std::string error;
        SettingsLock::Outcome outcome = settingsLock.Acquire(folder, holder, error);
        if (outcome != SettingsLock::Outcome::kLocked) {
            std::fprintf(stderr, "tarnhold: %s\n",
                         SettingsLockRefusal(outcome, folder, holder, error, "start a server").c_str());
            return 1;
        }
        // Defaults saved at exit would replace settings that could not be read.
        if (!SettingsFileReadable(SettingsFilesIn(folder), error)) {
            std::fprintf(stderr, "tarnhold: %s\n", error.c_str());
            return 1;
        }
    }

    // Blocked before any thread starts, so that every thread inherits the
    // mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const SettingsFiles files = SettingsFilesIn(folder);
    if (!options.headless && HasDisplay()) return RunDesktopModule(argc, argv, files, stopSignals);

    // The console outlives the server: sessions report to it until the
    // server's destruction has waited for the last of them.
    HeadlessConsole console;
    auto server = std::make_unique<CIP_FTPServer>();
    server->events.Attach(&console);
    for (const ConfError& error : LoadSettings(server->store, files)) {
        console.AppendLogLine(error.LogText().c_str(), LogStyle::Error);
    }
    uint32_t idleTimeout;
    {
        AccountStore::Lock lock(server->store);
        idleTimeout = server->store.options.idletimeout;
    }
    server->SetIdleTimeout(IdleTimeoutFromOption(idleTimeout));
    server->SetCertificateFolder(folder);
    SetTlsModulePath(TlsModule());

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
