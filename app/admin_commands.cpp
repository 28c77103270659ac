#include "app/admin_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/admin_settings.h"
#include "config/program_paths.h"
#include "app/settings_lock.h"
#include "config/account_store.h"
#include "config/settings.h"

namespace {

constexpr int kExitUsage = 2;

bool IsGroup(std::string_view word) {
    return word == "account" || word == "path" || word == "option";
}

// The index of the subcommand's group word after an optional --config-dir
// DIR, or -1 when the command line does not start a subcommand.
int GroupIndex(int argc, char** argv, std::string* configDir) {
    int i = 1;
    if (i < argc && std::string_view(argv[i]) == "--config-dir" && i + 1 < argc) {
        if (configDir != nullptr) *configDir = argv[i + 1];
        i += 2;
    } else if (i < argc && std::string_view(argv[i]).starts_with("--config-dir=")) {
        if (configDir != nullptr) *configDir = argv[i] + 13;
        i += 1;
    }
    return i < argc && IsGroup(argv[i]) ? i : -1;
}

// The settings folder the command works on: the one named, which must
// exist, or the default one, made when missing.
std::string ResolveFolder(const std::string& named) {
    if (!named.empty()) {
        struct stat info {};
        if (stat(named.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            throw AdminError(1, "the settings folder '" + named + "' is not a folder");
        }
        return named;
    }
    std::string error;
    std::string folder = DefaultSettingsFolder(error);
    if (folder.empty()) throw AdminError(1, error);
    return folder;
}

// Loads the folder's settings into `store`. A settings file that exists
// but cannot be read is an error: editing the defaults in its place would
// overwrite it. The lines of tarnhold.conf whose values are refused.
std::vector<ConfError> Load(AccountStore& store, const SettingsFiles& files) {
    std::string error;
    if (!SettingsFileReadable(files, error)) throw AdminError(1, error);
    return LoadSettings(store, files);
}

}  // namespace

bool IsAdminCommand(int argc, char** argv) { return GroupIndex(argc, argv, nullptr) != -1; }

int RunAdminCommand(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err) {
    std::string named;
    const int first = GroupIndex(argc, argv, &named);
    if (first == -1) {
        std::fputs("tarnhold: not an administration command\n", err);
        return kExitUsage;
    }
    const std::vector<std::string> words(argv + first, argv + argc);
    AdminOutput output{in, out, err};
    try {
        // A bad command line is refused before the folder is touched.
        const AdminCommand command = ParseAdminCommand(words);
        const std::string folder = ResolveFolder(named);
        const SettingsFiles files = SettingsFilesIn(folder);
        AccountStore store;
        SettingsLock lock;
        if (command.IsEdit()) {
            long holder = 0;
            std::string error;
            SettingsLock::Outcome outcome = lock.Acquire(folder, holder, error);
            if (outcome != SettingsLock::Outcome::kLocked) {
                throw AdminError(
                    1, SettingsLockRefusal(outcome, folder, holder, error, "change the settings"));
            }
        }
        const std::vector<ConfError> confErrors = Load(store, files);
        // The list shows defaults in place of refused values: say why.
        if (command.group == "option" && command.action == "list") {
            for (const ConfError& e : confErrors)
                std::fprintf(err, "tarnhold: warning: %s\n", e.LogText().c_str());
        }
        if (!ExecuteAdminCommand(command, store, output)) return 0;  // nothing to save
        const bool saved = command.ChangesConfOnly() ? SaveConf(store, files)
                                                     : SaveSettings(store, files);
        if (!saved) {
            const int saveError = errno;
            throw AdminError(1, "could not save the settings in " + folder + ": " +
                                    std::strerror(saveError) + "; nothing was changed");
        }
        return 0;
    } catch (const AdminError& e) {
        std::fprintf(err, "tarnhold: %s\n", e.what());
        if (e.code() == kExitUsage) std::fputs("Try 'tarnhold --help'.\n", err);
        return e.code();
    }
}

void PrintAdminUsage(std::FILE* to) {
    std::fputs(
        "\n"
        "Administration (edits are refused while a server uses the folder):\n"
        "  tarnhold [--config-dir DIR] account list\n"
        "  tarnhold [--config-dir DIR] account add NAME [ACCOUNT SETTINGS]\n"
        "  tarnhold [--config-dir DIR] account set NAME ACCOUNT SETTINGS\n"
        "  tarnhold [--config-dir DIR] account password NAME   (reads standard input)\n"
        "  tarnhold [--config-dir DIR] account delete NAME\n"
        "      ACCOUNT SETTINGS: --name NEW --login L --home DIR --enabled yes|no --message TEXT\n"
        "  tarnhold [--config-dir DIR] path list NAME\n"
        "  tarnhold [--config-dir DIR] path add NAME PATH [PERMISSIONS]   (default --read --list)\n"
        "  tarnhold [--config-dir DIR] path set NAME PATH PERMISSIONS\n"
        "  tarnhold [--config-dir DIR] path delete NAME PATH\n"
        "      PERMISSIONS: --read --write --delete (files), --list --create --rmdir (folders),\n"
        "                   or --none\n"
        "  tarnhold [--config-dir DIR] option list\n"
        "  tarnhold [--config-dir DIR] option set port|maxusers|idletimeout|startatboot|features "
        "VALUE\n"
        "  tarnhold [--config-dir DIR] option set KEY VALUE   (tarnhold.conf; empty VALUE: default)\n"
        "      KEY: passive_ports LOW-HIGH (1024 to 65535), passive_address ADDRESS|HOST NAME,\n"
        "           port_mapping yes|no, ipv6 yes|no\n"
        "  The anonymous account is NAME 'anonymous'. Lists print one record a line, the\n"
        "  fields separated by tabs (tab, line break and backslash escaped as \\t \\n \\\\).\n",
        to);
}
