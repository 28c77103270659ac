// The administration subcommands' work on a loaded AccountStore: their
// command line, the checks of every value, the lists and the edits. The
// caller (RunAdminCommand) loads, locks and saves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class AccountStore;

// A refusal: the message for standard error and the exit code (1 for a
// value or state that is refused, 2 for a command line that cannot be
// understood). Thrown and caught inside the administration code only.
class AdminError : public std::runtime_error {
public:
    AdminError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct AdminOutput {
    std::FILE* in;   // the password
    std::FILE* out;  // lists
    std::FILE* err;  // warnings
};

// One subcommand as its command line gives it, before any value is checked
// against the settings.
struct AdminCommand {
    std::string group;   // account, path, option
    std::string action;  // list, add, set, password, delete
    std::string name;    // the account (path and account commands) or option key
    std::string path;    // path add/set/delete
    std::string value;   // option set (of a tarnhold.conf key: may be empty)
    // account add/set: (option without "--", value), in command-line order.
    std::vector<std::pair<std::string, std::string>> settings;
    // path add/set: the permission flags given, if any.
    std::optional<uint32_t> permissions;

    // Whether the command changes the settings (everything but list).
    bool IsEdit() const { return action != "list"; }
    // Whether it changes tarnhold.conf alone (option set of one of its
    // keys), so that only that file is written.
    bool ChangesConfOnly() const;
};

// Reads words (the group word first). Throws AdminError with code 2 for an
// unknown word, a missing or surplus argument, or an option without its
// value.
AdminCommand ParseAdminCommand(const std::vector<std::string>& words);

// Carries the command out on `store` (loaded, unlocked). Returns true when
// the store changed and must be saved (SaveConf alone when
// ChangesConfOnly, SaveSettings otherwise). Throws AdminError with code 1 when
// a value or the state refuses it; the store may then be half-changed and
// must not be saved.
bool ExecuteAdminCommand(const AdminCommand& command, AccountStore& store, const AdminOutput& io);
