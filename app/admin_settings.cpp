#include "app/admin_settings.h"

#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <string_view>

#include "config/account_store.h"
#include "config/conf_keys.h"
#include "config/password_hash.h"
#include "config/path_checker.h"
#include "config/records.h"
#include "config/settings.h"
#include "net/text.h"

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr char kAnonymous[] = "anonymous";
// The flags the account manager's "Add path" gives.
constexpr uint32_t kDefaultPathFlags = PERM_FILE_READ | PERM_FOLDER_LIST;
// The flags a named account's home folder gets. The anonymous account's
// home gets only kDefaultPathFlags: uploads by anyone must be the owner's
// explicit choice (path set), not a side effect of choosing a home.
constexpr uint32_t kHomeFlags =
    PERM_FILE_READ | PERM_FILE_WRITE | PERM_FOLDER_LIST | PERM_FOLDER_CREATE;
// The feature bits this build knows (platform notes: 0x1 to 0x8).
constexpr uint32_t kKnownFeatures = 0xF;

struct PermissionOption {
    const char* option;
    uint32_t flag;
};
constexpr PermissionOption kPermissionOptions[] = {
    {"--read", PERM_FILE_READ},   {"--write", PERM_FILE_WRITE},     {"--delete", PERM_FILE_DELETE},
    {"--list", PERM_FOLDER_LIST}, {"--create", PERM_FOLDER_CREATE}, {"--rmdir", PERM_FOLDER_DELETE},
};

constexpr const char* kAccountSettings[] = {"name", "login", "home", "enabled", "message"};

bool IsAnonymousName(std::string_view name) {
    return name.size() == std::strlen(kAnonymous) &&
           strncasecmp(name.data(), kAnonymous, name.size()) == 0;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

[[noreturn]] void Usage(const std::string& message) { throw AdminError(kUsage, message); }
[[noreturn]] void Refuse(const std::string& message) { throw AdminError(kRefused, message); }

// --- The command line ---

class Words {
public:
    explicit Words(const std::vector<std::string>& words) : words_(words) {}
    bool More() const { return next_ < words_.size(); }
    // The next word, which `what` names in the message when it is missing.
    std::string Take(const char* what) {
        if (!More()) Usage("missing " + std::string(what));
        return words_[next_++];
    }
    void End() const {
        if (More()) Usage("unexpected '" + words_[next_] + "'");
    }

private:
    const std::vector<std::string>& words_;
    std::size_t next_ = 0;
};

void ParseAccountSettings(Words& words, AdminCommand& command) {
    while (words.More()) {
        std::string option = words.Take("setting");
        std::string value;
        bool inlineValue = false;
        if (std::size_t eq = option.find('=');
            option.starts_with("--") && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            inlineValue = true;
        }
        bool known = false;
        for (const char* setting : kAccountSettings) {
            known = known || option == "--" + std::string(setting);
        }
        if (!known) Usage("unknown account setting '" + option + "'");
        if (!inlineValue) value = words.Take(("the value of " + option).c_str());
        command.settings.emplace_back(option.substr(2), value);
    }
}

void ParsePermissions(Words& words, AdminCommand& command) {
    bool none = false;
    uint32_t flags = 0;
    while (words.More()) {
        const std::string option = words.Take("permission");
        if (option == "--none") {
            none = true;
            continue;
        }
        bool known = false;
        for (const PermissionOption& p : kPermissionOptions) {
            if (option == p.option) {
                flags |= p.flag;
                known = true;
            }
        }
        if (!known) Usage("unknown permission '" + option + "'");
    }
    if (none && flags != 0) Usage("--none cannot go with other permissions");
    if (none || flags != 0) command.permissions = flags;
}

// --- Values ---

// Checks a text for a field of `capacity` bytes (terminator included).
void CheckText(const char* what, std::string_view value, std::size_t capacity) {
    if (value.find_first_of("\r\n") != std::string_view::npos)
        Refuse(std::string(what) + " must not contain line breaks");
    if (value.size() >= capacity) {
        Refuse(std::string(what) + " is longer than " + std::to_string(capacity - 1) +
               " characters");
    }
    if (IsSettingsMarker(value))
        Refuse(std::string(what) + " '" + std::string(value) +
               "' is reserved by the settings file");
}

// An absolute path in its stored form, for a field of `capacity` bytes.
std::string NormalisedPath(const char* what, const std::string& path, std::size_t capacity) {
    if (path.empty() || path[0] != '/')
        Refuse(std::string(what) + " '" + path + "' is not an absolute path");
    if (path.find_first_of("\r\n") != std::string::npos)
        Refuse(std::string(what) + " must not contain line breaks");
    char normal[PATH_TEXT_SIZE];
    if (!PathChecker::NormalisePath(path, normal, sizeof normal) ||
        std::strlen(normal) >= capacity) {
        Refuse(std::string(what) + " '" + path + "' is longer than " +
               std::to_string(capacity - 1) + " characters");
    }
    return normal;
}

void WarnIfMissing(const AdminOutput& io, const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        std::fprintf(io.err, "tarnhold: warning: %s does not exist (yet)\n", path.c_str());
    }
}

// A whole number from `low` to `high`: decimal digits, or 0x and hex
// digits where `hex` allows.
uint32_t ParseNumber(const char* what, const std::string& text, uint32_t low, uint32_t high,
                     bool hex = false) {
    std::string_view digits = text;
    int base = 10;
    if (hex && (digits.starts_with("0x") || digits.starts_with("0X"))) {
        digits.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    bool ok = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!(base == 16 ? std::isxdigit(u) : std::isdigit(u))) {
            ok = false;
            break;
        }
        const int digit = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (!ok || value < low || value > high) {
        Refuse(std::string(what) + " '" + text + "' is not a whole number from " +
               std::to_string(low) + " to " + std::to_string(high));
    }
    return static_cast<uint32_t>(value);
}

bool ParseYesNo(const char* what, const std::string& text) {
    if (text == "yes" || text == "1") return true;
    if (text == "no" || text == "0") return false;
    Refuse(std::string(what) + " must be yes or no, not '" + text + "'");
}

// Every line break (CR LF, LF or CR) as the CR LF that the record keeps.
std::string WithCrLf(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            out += "\r\n";
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// --- Output ---

// A field of a list line: tab, line breaks and backslash escaped, so that
// every record stays on one line and its fields split at tabs.
std::string Field(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                // CR LF is one line break.
                if (i + 1 < text.size() && text[i + 1] == '\n') {
                    ++i;
                    out += "\\n";
                } else {
                    out += "\\r";
                }
                break;
            default:
                out += text[i];
        }
    }
    return out;
}

void PrintLine(const AdminOutput& io, std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields) {
        if (&field != fields.begin()) line += '\t';
        line += field;
    }
    line += '\n';
    std::fputs(line.c_str(), io.out);
}

// Column names for a person at a terminal; scripts reading a pipe get
// the records alone.
void PrintHeader(const AdminOutput& io, std::initializer_list<std::string> fields) {
    if (isatty(fileno(io.out))) PrintLine(io, fields);
}

std::string PermissionNames(uint32_t flags) {
    std::string names;
    for (const PermissionOption& p : kPermissionOptions) {
        if ((flags & p.flag) == 0) continue;
        if (!names.empty()) names += ',';
        names += p.option + 2;
    }
    return names.empty() ? "none" : names;
}

// --- Accounts (every function below runs with the store's lock held) ---

account_s* FindAccount(AccountStore& store, const std::string& name) NO_THREAD_SAFETY_ANALYSIS {
    if (IsAnonymousName(name)) return &store.anonymous;
    account_s* found = nullptr;
    int count = 0;
    for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
        if (name == a->name) {
            found = a;
            ++count;
        }
    }
    if (count == 0) Refuse("no account named '" + name + "' (see 'tarnhold account list')");
    if (count > 1) {
        Refuse(std::to_string(count) + " accounts are named '" + name +
               "'; give them different names in the desktop console's account manager");
    }
    return found;
}

void SetName(AccountStore& store, account_s& account,
             const std::string& name) NO_THREAD_SAFETY_ANALYSIS {
    if (&account == &store.anonymous) Refuse("the anonymous account cannot be renamed");
    if (name.empty()) Refuse("an account name cannot be empty");
    if (IsAnonymousName(name)) Refuse("'anonymous' names the anonymous account");
    CheckText("the account name", name, ACCOUNT_TEXT_SIZE);
    for (account_s* a = store.accounts.head; a != nullptr; a = a->next) {
        if (a != &account && EqualsIgnoringCase(a->name, name))
            Refuse("an account named '" + std::string(a->name) + "' exists");
    }
    CopyText(account.name, name);
}

void SetLogin(AccountStore& store, account_s& account,
              const std::string& login) NO_THREAD_SAFETY_ANALYSIS {
    if (&account == &store.anonymous) Refuse("the anonymous account's login is always 'anonymous'");
    if (IsAnonymousName(login)) Refuse("the login 'anonymous' belongs to the anonymous account");
    CheckText("the login", login, ACCOUNT_TEXT_SIZE);
    for (account_s* a = store.accounts.head; a != nullptr && !login.empty(); a = a->next) {
        if (a != &account && EqualsIgnoringCase(a->login, login)) {
            Refuse("the account '" + std::string(a->name) + "' already has the login '" +
                   std::string(a->login) + "'");
        }
    }
    CopyText(account.login, login);
}

// As the account manager's "Browse": the new home becomes an accessible
// path with the home rights (unless it is one already), and the old home's
// path goes.
void SetHome(AccountStore& store, account_s& account, const std::string& folder,
             const AdminOutput& io) NO_THREAD_SAFETY_ANALYSIS {
    const std::string home = NormalisedPath("the home folder", folder, ACCOUNT_TEXT_SIZE);
    const uint32_t flags = &account == &store.anonymous ? kDefaultPathFlags : kHomeFlags;
    if (account.home[0] != '\0' && home != account.home) account.paths.RemovePath(account.home);
    if (account.paths.HasPath(home) == 0) account.paths.AddPath(home, flags);
    CopyText(account.home, home);
    WarnIfMissing(io, home);
}

void SetMessage(account_s& account, const std::string& text) {
    const std::string message = WithCrLf(text);
    if (message.size() >= LOGIN_MESSAGE_SIZE) {
        Refuse("the login message is longer than " + std::to_string(LOGIN_MESSAGE_SIZE - 1) +
               " characters");
    }
    if (IsSettingsMarker(message))
        Refuse("the login message '" + message + "' is reserved by the settings file");
    CopyText(account.loginmsg, message);
}

void ApplySettings(AccountStore& store, account_s& account, const AdminCommand& command,
                   const AdminOutput& io) {
    for (const auto& [setting, value] : command.settings) {
        if (setting == "name")
            SetName(store, account, value);
        else if (setting == "login")
            SetLogin(store, account, value);
        else if (setting == "home")
            SetHome(store, account, value, io);
        else if (setting == "enabled")
            account.enabled = ParseYesNo("--enabled", value) ? 1 : 0;
        else if (setting == "message")
            SetMessage(account, value);
    }
}

// One line of the password from `in`; with a terminal, asked for twice
// without echo.
std::string ReadPassword(const AdminOutput& io) {
    const int fd = fileno(io.in);
    const bool terminal = isatty(fd) != 0;
    termios saved{};
    if (terminal && tcgetattr(fd, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    auto readLine = [&](const char* prompt) -> std::optional<std::string> {
        if (terminal) std::fputs(prompt, io.err);
        std::string line;
        int c;
        while ((c = std::fgetc(io.in)) != EOF && c != '\n') {
            if (line.size() <= 4096) line += static_cast<char>(c);
        }
        if (terminal) std::fputs("\n", io.err);
        if (c == EOF && line.empty()) return std::nullopt;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    };
    std::optional<std::string> first = readLine("New password: ");
    std::optional<std::string> second = terminal && first ? readLine("Repeat it: ") : first;
    if (terminal) tcsetattr(fd, TCSAFLUSH, &saved);
    if (!first) Refuse("no password on standard input (nothing was read)");
    if (first != second) Refuse("the two passwords differ");
    if (first->empty()) Refuse("the password is empty");
    CheckText("the password", *first, ACCOUNT_TEXT_SIZE);
    return *first;
}

bool AccountCommand(const AdminCommand& command, AccountStore& store,
                    const AdminOutput& io) NO_THREAD_SAFETY_ANALYSIS {
    if (command.action == "list") {
        PrintHeader(io, {"NAME", "LOGIN", "ENABLED", "HOME", "MESSAGE"});
        auto print = [&](const account_s& a, const std::string& name, const std::string& login) {
            PrintLine(io, {Field(name), Field(login), a.enabled ? "yes" : "no", Field(a.home),
                           Field(a.loginmsg)});
        };
        print(store.anonymous, kAnonymous, kAnonymous);
        for (const account_s* a = store.accounts.head; a != nullptr; a = a->next)
            print(*a, a->name, a->login);
        return false;
    }
    if (command.action == "add") {
        if (IsAnonymousName(command.name)) Refuse("the anonymous account always exists");
        account_s* account = store.AddAccount();
        SetName(store, *account, command.name);
        ApplySettings(store, *account, command, io);
        return true;
    }
    account_s* account = FindAccount(store, command.name);
    if (command.action == "set") {
        ApplySettings(store, *account, command, io);
    } else if (command.action == "password") {
        if (account == &store.anonymous) {
            Refuse("the anonymous account has no password: clients give any, or an e-mail address");
        }
        std::string password = ReadPassword(io);
        if (store.confValues.hashPasswords) {
            std::optional<std::string> hash = HashPassword(password);
            if (!hash) Refuse("the password could not be hashed (out of memory?)");
            password = std::move(*hash);
        }
        CopyText(account->password, password);
    } else if (command.action == "delete") {
        if (account == &store.anonymous)
            Refuse("the anonymous account cannot be deleted (disable it instead)");
        store.DeleteAccount(account);
    }
    return true;
}

// --- Accessible paths ---

bool PathCommand(const AdminCommand& command, AccountStore& store,
                 const AdminOutput& io) NO_THREAD_SAFETY_ANALYSIS {
    account_s* account = FindAccount(store, command.name);
    PathChecker& paths = account->paths;
    if (command.action == "list") {
        PrintHeader(io, {"PATH", "PERMISSIONS"});
        for (const textnode_s* e = paths.entries.head; e != nullptr; e = e->next) {
            PrintLine(io, {Field(e->path), PermissionNames(e->flags)});
        }
        return false;
    }
    const std::string path = NormalisedPath("the path", command.path, PATH_TEXT_SIZE);
    if (command.action == "add") {
        if (paths.HasPath(path) != 0)
            Refuse(path + " is already an accessible path of '" + command.name + "'");
        paths.AddPath(path, command.permissions.value_or(kDefaultPathFlags));
        WarnIfMissing(io, path);
        return true;
    }
    if (paths.HasPath(path) == 0)
        Refuse(path + " is not an accessible path of '" + command.name + "'");
    if (command.action == "set") {
        paths.SetPermissions(path, *command.permissions);
    } else if (command.action == "delete") {
        if (path == account->home) {
            Refuse(path + " is the home folder of '" + command.name +
                   "'; give the account another home first");
        }
        paths.RemovePath(path);
    }
    return true;
}

// --- Server options ---

struct OptionKey {
    const char* key;
    uint32_t srvropt_s::*field;
    enum { kNumber, kPort, kYesNo, kFeatures } kind;
};
constexpr OptionKey kOptionKeys[] = {
    {"port", &srvropt_s::port, OptionKey::kPort},
    {"maxusers", &srvropt_s::maxusers, OptionKey::kNumber},
    {"idletimeout", &srvropt_s::idletimeout, OptionKey::kNumber},
    {"startatboot", &srvropt_s::startatboot, OptionKey::kYesNo},
    {"features", &srvropt_s::features, OptionKey::kFeatures},
};

const OptionKey* FindOptionKey(const std::string& key) {
    for (const OptionKey& k : kOptionKeys) {
        if (key == k.key) return &k;
    }
    return nullptr;
}

// The design's options, then the keys of tarnhold.conf.
bool OptionCommand(const AdminCommand& command, AccountStore& store,
                   const AdminOutput& io) NO_THREAD_SAFETY_ANALYSIS {
    srvropt_s& options = store.options;
    if (command.action == "list") {
        PrintHeader(io, {"OPTION", "VALUE"});
        for (const OptionKey& k : kOptionKeys) {
            const uint32_t value = options.*k.field;
            PrintLine(io, {k.key, k.kind == OptionKey::kYesNo ? (value != 0 ? "yes" : "no")
                                                              : std::to_string(value)});
        }
        for (const ConfKey& key : ConfKeys()) {
            PrintLine(io, {key.name, Field(key.show(store.confValues))});
        }
        return false;
    }
    if (const ConfKey* key = FindConfKey(command.name)) {
        if (std::optional<std::string> reason =
                SetConfValue(store.conf, store.confValues, *key, command.value)) {
            Refuse(*reason);
        }
        return true;
    }
    const OptionKey& k = *FindOptionKey(command.name);
    const std::string what = "the " + command.name;
    uint32_t value = 0;
    switch (k.kind) {
        case OptionKey::kPort:
            value = ParseNumber(what.c_str(), command.value, 1, 65535);
            break;
        case OptionKey::kNumber:
            value = ParseNumber(what.c_str(), command.value, 0, UINT32_MAX);
            break;
        case OptionKey::kYesNo:
            value = ParseYesNo(what.c_str(), command.value) ? 1 : 0;
            break;
        case OptionKey::kFeatures:
            value = ParseNumber(what.c_str(), command.value, 0, UINT32_MAX, true);
            if ((value & ~kKnownFeatures) != 0)
                Refuse("the features value " + command.value +
                       " sets bits this version does not know (known: 0x1 to 0x8)");
            break;
    }
    options.*k.field = value;
    return true;
}

}  // namespace

AdminCommand ParseAdminCommand(const std::vector<std::string>& list) {
    Words words(list);
    AdminCommand command;
    command.group = words.Take("group");
    command.action = words.Take(("the " + command.group + " command").c_str());
    const std::string& group = command.group;
    const std::string& action = command.action;
    if (group == "account") {
        if (action != "list" && action != "add" && action != "set" && action != "password" &&
            action != "delete") {
            Usage("unknown account command '" + action + "'");
        }
        if (action != "list") command.name = words.Take("account name");
        if (action == "add" || action == "set") ParseAccountSettings(words, command);
        if (action == "set" && command.settings.empty()) {
            Usage("account set needs at least one setting");
        }
    } else if (group == "path") {
        if (action != "list" && action != "add" && action != "set" && action != "delete") {
            Usage("unknown path command '" + action + "'");
        }
        command.name = words.Take("account name");
        if (action != "list") command.path = words.Take("path");
        if (action == "add" || action == "set") ParsePermissions(words, command);
        if (action == "set" && !command.permissions)
            Usage("path set needs the permissions (or --none)");
    } else {  // option
        if (action == "set") {
            command.name = words.Take("option");
            if (FindOptionKey(command.name) == nullptr && FindConfKey(command.name) == nullptr)
                Usage("unknown option '" + command.name + "'");
            command.value = words.Take(("the value of " + command.name).c_str());
        } else if (action != "list") {
            Usage("unknown option command '" + action + "'");
        }
    }
    words.End();
    return command;
}

bool AdminCommand::ChangesConfOnly() const {
    return group == "option" && action == "set" && FindConfKey(name) != nullptr;
}

bool ExecuteAdminCommand(const AdminCommand& command, AccountStore& store, const AdminOutput& io) {
    AccountStore::Lock lock(store);
    if (command.group == "account") return AccountCommand(command, store, io);
    if (command.group == "path") return PathCommand(command, store, io);
    return OptionCommand(command, store, io);
}
