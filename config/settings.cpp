#include "config/settings.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "config/account_store.h"
#include "config/conf_file.h"
#include "config/records.h"
#include "net/data_source.h"
#include "net/text.h"

namespace {

// --- The file format as data: markers and the fields of each section ---

enum class Section { None, Options, Anonymous, AnonymousPath, Account, AccountPath, BlockList };

struct SectionMarker {
    Section section;
    const char* marker;
};

constexpr SectionMarker kMarkers[] = {
    {Section::Options, "SRVROPT+!~*#$"},       {Section::Anonymous, "ANONACCT+!~*#$"},
    {Section::AnonymousPath, "ANONACCPATH+!~*#$"}, {Section::Account, "REGACCT+!~*#$"},
    {Section::AccountPath, "ACCPATH+!~*#$"},   {Section::BlockList, "BLKLIST+!~*#$"},
};

const char* MarkerOf(Section section) {
    for (const SectionMarker& m : kMarkers) {
        if (m.section == section) return m.marker;
    }
    return "";
}

enum class Encoding { Text, LoginMessage, Decimal, Hex };

// One value line: how it is encoded and which member of R holds it (a
// text buffer or a number).
template <typename R>
struct Field {
    Encoding encoding;
    std::span<char> (*text)(R&);
    std::uint32_t R::*number;
};

template <auto Member, typename R>
std::span<char> TextOf(R& record) {
    return record.*Member;
}

template <typename R, auto Member>
constexpr Field<R> TextField(Encoding encoding = Encoding::Text) {
    return {encoding, &TextOf<Member, R>, nullptr};
}

template <typename R>
constexpr Field<R> NumberField(Encoding encoding, std::uint32_t R::*member) {
    return {encoding, nullptr, member};
}

constexpr Field<srvropt_s> kOptionFields[] = {
    NumberField(Encoding::Decimal, &srvropt_s::port),
    NumberField(Encoding::Decimal, &srvropt_s::features),
    NumberField(Encoding::Hex, &srvropt_s::reserved2),
    NumberField(Encoding::Hex, &srvropt_s::reserved3),
    NumberField(Encoding::Decimal, &srvropt_s::maxusers),
    NumberField(Encoding::Decimal, &srvropt_s::anonemailcheck),
    NumberField(Encoding::Decimal, &srvropt_s::reserved4),
    NumberField(Encoding::Decimal, &srvropt_s::startatboot),
    NumberField(Encoding::Decimal, &srvropt_s::idletimeout),
};

constexpr Field<account_s> kAccountFields[] = {
    TextField<account_s, &account_s::name>(),
    TextField<account_s, &account_s::login>(),
    TextField<account_s, &account_s::password>(),
    TextField<account_s, &account_s::home>(),
    TextField<account_s, &account_s::loginmsg>(Encoding::LoginMessage),
    NumberField(Encoding::Decimal, &account_s::reserved1),
    NumberField(Encoding::Hex, &account_s::reserved2),
    NumberField(Encoding::Hex, &account_s::reserved3),
    NumberField(Encoding::Decimal, &account_s::timeout),
    NumberField(Encoding::Decimal, &account_s::maxlogins),
    NumberField(Encoding::Decimal, &account_s::enabled),
    NumberField(Encoding::Hex, &account_s::reserved4),
    NumberField(Encoding::Hex, &account_s::reserved5),
    NumberField(Encoding::Hex, &account_s::reserved6),
    NumberField(Encoding::Hex, &account_s::reserved7),
};

constexpr Field<textnode_s> kPathFields[] = {
    TextField<textnode_s, &textnode_s::path>(),
    NumberField(Encoding::Hex, &textnode_s::flags),
    NumberField(Encoding::Decimal, &textnode_s::reserved),
};

// The login message keeps its line breaks on one line as 0x1C 0x1D.
constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kEncodedLineBreak = "\x1c\x1d";

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(from, start)) != std::string_view::npos;
         start = at + from.size()) {
        out.append(text.substr(start, at - start)).append(to);
    }
    out.append(text.substr(start));
    return out;
}

// --- Reading ---

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// An unsigned 32-bit conversion as strtoul does it: leading white space
// skipped, an optional sign, a 0x prefix in base 16, digits up to the first
// that does not belong to the base; no digits give 0, more than 32 bits
// give 4294967295, a minus sign negates modulo 2^32.
std::uint32_t ParseNumber(std::string_view text, int base) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2]) < 16) {
        i += 2;
    }
    std::uint64_t value = 0;
    bool any = false;
    bool overflow = false;
    for (; i < text.size() && DigitValue(text[i]) < base; ++i) {
        any = true;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(DigitValue(text[i]));
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;  // keeps the product in range
        }
    }
    if (!any) return 0;
    if (overflow) return UINT32_MAX;
    auto result = static_cast<std::uint32_t>(value);
    return negative ? 0u - result : result;
}

template <typename R>
void ReadValue(const Field<R>& field, R& record, std::string_view line) {
    switch (field.encoding) {
        case Encoding::Text: {
            std::span<char> text = field.text(record);
            CopyText(text.data(), text.size(), line);
            break;
        }
        case Encoding::LoginMessage: {
            std::span<char> text = field.text(record);
            CopyText(text.data(), text.size(), ReplaceAll(line, kEncodedLineBreak, kLineBreak));
            break;
        }
        case Encoding::Decimal: record.*field.number = ParseNumber(line, 10); break;
        case Encoding::Hex: record.*field.number = ParseNumber(line, 16); break;
    }
}

// No value is longer than this; the rest of a longer line is dropped.
constexpr std::size_t kMaxLineKept = 4096;

// Reads whole lines through ReadLine, however long: ReadLine hands out a
// line that does not fit its buffer in pieces (and may split its CR LF
// between two pieces), so the pieces are joined here up to the CR LF.
class LineReader {
public:
    explicit LineReader(CIP_FileDataSource& source) : source_(source) {}

    // The next line, with its CR LF when it had one; false at the end.
    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        bool pendingCr = false;  // the last piece ended in a CR held back
        while (true) {
            if (pos_ == length_ && !Fill()) {
                if (pendingCr) Keep(line, "\r");
                return any;
            }
            any = true;
            std::string_view rest(piece_ + pos_, length_ - pos_);
            if (pendingCr) {
                pendingCr = false;
                if (rest.front() == '\n') {
                    ++pos_;
                    line.append(kLineBreak);
                    return true;
                }
                Keep(line, "\r");
            }
            std::size_t end = rest.find(kLineBreak);
            if (end != std::string_view::npos) {
                Keep(line, rest.substr(0, end));
                pos_ += end + 2;
                line.append(kLineBreak);
                return true;
            }
            if (rest.back() == '\r') {
                rest.remove_suffix(1);
                pendingCr = true;
            }
            Keep(line, rest);
            pos_ = length_;
        }
    }

private:
    static void Keep(std::string& line, std::string_view text) {
        std::size_t room = kMaxLineKept - std::min(line.size(), kMaxLineKept);
        line.append(text.substr(0, std::min(room, text.size())));
    }

    // The next piece from ReadLine. ReadLine also stops at a NUL byte: skip
    // such bytes and go on, so that one damaged byte does not lose the
    // rest of the file (which the next save would then not write back).
    bool Fill() {
        pos_ = length_ = 0;
        while (true) {
            int n = source_.ReadLine(piece_, sizeof piece_);
            if (n > 0) {
                length_ = static_cast<std::size_t>(n);
                return true;
            }
            if (n < 0) return false;
            std::int64_t at = source_.Seek(0, SEEK_FROM_CURRENT);
            if (at == -1) return false;
            char block[4096];
            ssize_t got = source_.Read(block, sizeof block);
            if (got <= 0) return false;  // the real end
            auto nuls = static_cast<std::int64_t>(
                std::find_if(block, block + got, [](char c) { return c != '\0'; }) - block);
            if (nuls == 0) return false;  // not a NUL: nothing more can be read
            if (source_.Seek(at + nuls, SEEK_FROM_START) == -1) return false;
        }
    }

    CIP_FileDataSource& source_;
    char piece_[1027];  // the reading buffer of the settings file
    std::size_t pos_ = 0;
    std::size_t length_ = 0;
};

Section MarkerSection(const char* line) {
    for (const SectionMarker& m : kMarkers) {
        if (strcasecmp(line, m.marker) == 0) return m.section;
    }
    return Section::None;
}

template <typename R, std::size_t N>
void ReadLineOf(const Field<R> (&fields)[N], R& record, std::int64_t counter,
                std::string_view line) {
    if (counter >= 1 && counter <= static_cast<std::int64_t>(N)) {
        ReadValue(fields[counter - 1], record, line);
    }
}

void LoadLocked(AccountStore& store, CIP_FileDataSource& source) NO_THREAD_SAFETY_ANALYSIS {
    LineReader reader(source);
    Section section = Section::None;
    std::int64_t counter = -1;
    account_s* account = nullptr;  // of the latest REGACCT section
    textnode_s pending;            // the path entry being read
    std::string line;
    while (reader.Next(line)) {
        StripLineEnd(line.data());
        line.resize(std::strlen(line.c_str()));
        Section marker = MarkerSection(line.c_str());
        if (marker != Section::None) {
            section = marker;
            counter = 0;
        }
        switch (section) {
            case Section::Options: ReadLineOf(kOptionFields, store.options, counter, line); break;
            case Section::Anonymous:
                ReadLineOf(kAccountFields, store.anonymous, counter, line);
                break;
            case Section::Account:
                if (counter == 0) account = store.AddAccount();
                ReadLineOf(kAccountFields, *account, counter, line);
                break;
            case Section::AnonymousPath:
            case Section::AccountPath: {
                ReadLineOf(kPathFields, pending, counter, line);
                account_s* owner = section == Section::AnonymousPath ? &store.anonymous : account;
                // A path the tree refuses (listed already, not absolute,
                // too long) is dropped.
                if (counter == 3 && owner != nullptr) {
                    owner->paths.AddPath(pending.path, pending.flags, pending.reserved);
                }
                break;
            }
            case Section::BlockList:
            case Section::None: break;
        }
        if (counter < INT64_MAX) ++counter;
    }
}

// --- Writing ---

template <typename R>
void WriteValue(const Field<R>& field, R& record, std::string& out) {
    switch (field.encoding) {
        case Encoding::Text:
        case Encoding::LoginMessage: {
            std::span<char> text = field.text(record);
            std::string_view value(text.data(), strnlen(text.data(), text.size()));
            if (field.encoding == Encoding::LoginMessage) {
                out.append(ReplaceAll(value, kLineBreak, kEncodedLineBreak));
            } else {
                out.append(value);
            }
            break;
        }
        case Encoding::Decimal: out.append(std::to_string(record.*field.number)); break;
        case Encoding::Hex: {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(record.*field.number));
            out.append(hex);
            break;
        }
    }
    // Always a line end of its own, even after a value ending in CR or LF:
    // otherwise that value and the next would share a line.
    out.append(kLineBreak);
}

template <typename R, std::size_t N>
void WriteSection(Section section, const Field<R> (&fields)[N], R& record, std::string& out) {
    out.append(MarkerOf(section)).append(kLineBreak);
    for (const Field<R>& field : fields) WriteValue(field, record, out);
}

void WritePaths(Section section, PathChecker& paths, std::string& out) {
    for (textnode_s* entry = paths.entries.head; entry != nullptr; entry = entry->next) {
        WriteSection(section, kPathFields, *entry, out);
    }
}

// Held through a whole save or password upgrade, so that one never reads
// a file the other is replacing.
std::mutex& SavingMutex() {
    static std::mutex saving;
    return saving;
}

// The whole file, or nullopt when it cannot be read (a missing file: empty).
std::optional<std::string> ReadWhole(const std::string& path, bool& exists) {
    exists = false;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        if (errno == ENOENT) return std::string();
        return std::nullopt;
    }
    exists = true;
    std::string text;
    char block[4096];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n == -1 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

// Applies the upgrades to one file; true when it needed nothing or was
// written.
bool UpgradeFile(SettingsDisk& disk, const std::string& path,
                 const std::vector<PasswordUpgrade>& upgrades) {
    if (path.empty()) return true;
    bool exists = false;
    std::optional<std::string> text = ReadWhole(path, exists);
    if (!text) return false;
    if (!exists) return true;
    std::string changed = ReplacePlainPasswords(*text, upgrades);
    if (changed == *text) return true;
    return WriteFileSafely(disk, path, changed);
}

bool StoreUpgradesLocked(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk) {
    std::vector<PasswordUpgrade> upgrades;
    {
        AccountStore::Lock lock(store);
        upgrades.swap(store.upgradedPasswords);
    }
    if (upgrades.empty()) return true;
    // The backup first: once tarnhold.bot shows the hash, no file keeps the
    // plain text any more.
    const bool ok = UpgradeFile(disk, files.backupPath, upgrades) &&
                    UpgradeFile(disk, files.settingsPath, upgrades);
    if (!ok) {
        const int saved = errno;
        AccountStore::Lock lock(store);
        store.upgradedPasswords.insert(store.upgradedPasswords.begin(), upgrades.begin(),
                                       upgrades.end());
        errno = saved;
    }
    return ok;
}

std::string SettingsText(AccountStore& store) {
    AccountStore::Lock lock(store);
    std::string out;
    WriteSection(Section::Options, kOptionFields, store.options, out);
    WriteSection(Section::Anonymous, kAccountFields, store.anonymous, out);
    WritePaths(Section::AnonymousPath, store.anonymous.paths, out);
    for (account_s* account = store.accounts.head; account != nullptr; account = account->next) {
        WriteSection(Section::Account, kAccountFields, *account, out);
        WritePaths(Section::AccountPath, account->paths, out);
    }
    // The blocked addresses are not kept: the section stays empty.
    out.append(MarkerOf(Section::BlockList)).append(kLineBreak);
    return out;
}

}  // namespace

bool IsSettingsMarker(std::string_view text) {
    for (const SectionMarker& m : kMarkers) {
        if (text.size() == std::strlen(m.marker) && strncasecmp(text.data(), m.marker, text.size()) == 0) {
            return true;
        }
    }
    return false;
}

SettingsFiles SettingsFilesIn(const std::string& folder) {
    std::string base = folder.empty() ? "." : folder;
    if (base.back() != '/') base += '/';
    return {base + "tarnhold.bot", base + "tarnhold.bak", base + "tarnhold.conf"};
}

std::vector<ConfError> LoadSettings(AccountStore& store, const SettingsFiles& files) {
    ConfFile conf;
    std::string ignored;  // SettingsFileReadable reports it to the owner
    if (!files.confPath.empty()) conf.Load(files.confPath, ignored);
    std::vector<ConfError> errors;
    ConfValues values = ParseConf(conf, &errors);

    AccountStore::Lock lock(store);
    ApplyOptionDefaults(store.options);
    ApplyAccountDefaults(store.anonymous);
    store.anonymous.next = nullptr;
    CopyText(store.anonymous.name, ANONYMOUS_ACCOUNT_NAME);
    store.anonymous.paths.Clear();
    store.DeleteAllAccounts();
    store.conf = std::move(conf);
    store.confValues = std::move(values);

    CIP_FileDataSource source(files.settingsPath.c_str(), 4096);
    if (source.Open(OPEN_READ) == 0) {
        LoadLocked(store, source);
        source.Close();
    }
    return errors;
}

bool SettingsFileReadable(const SettingsFiles& files, std::string& error) {
    for (const std::string* path : {&files.settingsPath, &files.confPath}) {
        if (path->empty()) continue;
        int fd;
        do {
            fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd == -1 && errno == EINTR);
        if (fd == -1 && errno == ENOENT) continue;
        // Opening is not reading: a folder opens too.
        char byte;
        if (fd == -1 || ::pread(fd, &byte, 1, 0) == -1) {
            error = "cannot read the settings file " + *path + ": " + std::strerror(errno);
            if (fd != -1) ::close(fd);
            return false;
        }
        ::close(fd);
    }
    return true;
}

bool SaveSettings(AccountStore& store, const SettingsFiles& files) {
    SettingsDisk disk;
    return SaveSettings(store, files, disk);
}

bool SaveSettings(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk) {
    std::lock_guard<std::mutex> saving(SavingMutex());
    // First, so that the file that becomes the backup holds no plain copy
    // of a password that is kept hashed now. Saving goes on when that
    // fails: the owner's changes matter more, and the next save tries again.
    const bool upgraded = StoreUpgradesLocked(store, files, disk);
    const int upgradeError = errno;
    const bool saved =
        WriteFileSafely(disk, files.settingsPath, SettingsText(store), files.backupPath);
    if (saved && !upgraded) errno = upgradeError;
    return upgraded && saved;
}

bool StorePasswordUpgrades(AccountStore& store, const SettingsFiles& files) {
    SettingsDisk disk;
    return StorePasswordUpgrades(store, files, disk);
}

bool StorePasswordUpgrades(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk) {
    std::lock_guard<std::mutex> saving(SavingMutex());
    return StoreUpgradesLocked(store, files, disk);
}

std::string ReplacePlainPasswords(std::string_view text,
                                  const std::vector<PasswordUpgrade>& upgrades) {
    std::string out;
    out.reserve(text.size());
    Section section = Section::None;
    std::int64_t counter = -1;
    std::string_view login;
    while (!text.empty()) {
        // Lines end as the loader ends them: at CR LF.
        const std::size_t end = text.find(kLineBreak);
        const std::size_t length = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(0, length);
        std::string_view ending =
            text.substr(length, std::min(text.size() - length, kLineBreak.size()));
        text.remove_prefix(length + ending.size());

        std::string_view value = line;
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
            value.remove_suffix(1);
        if (value.find('\0') == std::string_view::npos) {
            const Section marker = MarkerSection(std::string(value).c_str());
            if (marker != Section::None) {
                section = marker;
                counter = 0;
            }
        }
        std::string_view replacement = line;
        if (section == Section::Account && counter == 2) login = value;
        if (section == Section::Account && counter == 3) {
            for (const PasswordUpgrade& upgrade : upgrades) {
                if (login == upgrade.login && value == upgrade.plain) {
                    replacement = upgrade.hash;
                    break;
                }
            }
        }
        out.append(replacement).append(ending);
        if (counter < INT64_MAX) ++counter;
    }
    return out;
}

bool SaveConf(AccountStore& store, const SettingsFiles& files) {
    SettingsDisk disk;
    return SaveConf(store, files, disk);
}

bool SaveConf(AccountStore& store, const SettingsFiles& files, SettingsDisk& disk) {
    ConfFile conf;
    {
        AccountStore::Lock lock(store);
        conf = store.conf;
    }
    if (files.confPath.empty()) return true;
    if (conf.Unreadable()) {
        errno = EIO;
        return false;
    }
    if (!conf.Exists()) return true;
    return WriteFileSafely(disk, files.confPath, conf.Text());
}

bool SaveAllSettings(AccountStore& store, const SettingsFiles& files) {
    const bool settings = SaveSettings(store, files);
    const int settingsError = errno;
    const bool conf = SaveConf(store, files);
    if (!settings) errno = settingsError;
    return settings && conf;
}
