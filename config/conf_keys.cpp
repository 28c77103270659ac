#include "config/conf_keys.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <type_traits>

#include "config/conf_file.h"

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// --- Parsers of the value types: null, or why the text is refused ---

// A port of 1 to 5 decimal digits; 0 when it is none.
uint32_t PortNumber(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 5) return 0;
    uint32_t port = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    return port;
}

const char* ReadPortRange(std::string_view text, std::optional<PortRange>& range) {
    if (text.empty()) {
        range.reset();
        return nullptr;
    }
    const std::size_t dash = text.find('-');
    const uint32_t low = dash == std::string_view::npos ? 0 : PortNumber(text.substr(0, dash));
    const uint32_t high = dash == std::string_view::npos ? 0 : PortNumber(text.substr(dash + 1));
    if (low < 1024 || low > high || high > 65535) {
        return "is not a range LOW-HIGH of ports with 1024 <= LOW <= HIGH <= 65535";
    }
    range = PortRange{static_cast<uint16_t>(low), static_cast<uint16_t>(high)};
    return nullptr;
}

std::string ShowPortRange(const std::optional<PortRange>& range) {
    if (!range) return "";
    return std::to_string(range->low) + "-" + std::to_string(range->high);
}

// A host name as DNS writes it (RFC 1123): dot-separated labels of
// letters, digits and inner hyphens, 1 to 63 characters each, 253 in all,
// an optional final dot. A last label of digits alone would make a
// mistyped IPv4 address a name.
bool IsHostName(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    if (name.empty() || name.size() > 253) return false;
    std::string_view label;
    while (!name.empty()) {
        const std::size_t dot = name.find('.');
        label = name.substr(0, dot);
        name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
        if (dot != std::string_view::npos && name.empty()) return false;  // "a..b" or "a.."
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return false;
        }
        for (char c : label) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        }
    }
    return !std::all_of(label.begin(), label.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

const char* ReadAddress(std::string_view text, std::string& address) {
    const std::string candidate(text);
    in_addr ignored{};
    if (!candidate.empty() && inet_pton(AF_INET, candidate.c_str(), &ignored) != 1 &&
        !IsHostName(candidate)) {
        return "is neither an IPv4 address nor a host name";
    }
    address = candidate;
    return nullptr;
}

std::string ShowText(const std::string& text) { return text; }

const char* ReadYesNo(std::string_view text, bool& on) {
    if (text != "yes" && text != "no") return "must be yes or no";
    on = text == "yes";
    return nullptr;
}

std::string ShowYesNo(const bool& on) { return on ? "yes" : "no"; }

const char* ReadStorage(std::string_view text, bool& hashed) {
    if (text != "plain" && text != "hashed") return "must be plain or hashed";
    hashed = text == "hashed";
    return nullptr;
}

std::string ShowStorage(const bool& hashed) { return hashed ? "hashed" : "plain"; }

// Any path; a NUL would name a different, shorter file.
const char* ReadFilePath(std::string_view text, std::string& path) {
    if (text.find('\0') != std::string_view::npos) return "must not contain a NUL byte";
    if (!text.empty() && text.back() == '/') return "names a folder, not a file";
    path = std::string(text);
    return nullptr;
}

// --- The table ---

// A row for the key whose value the member `Member` of ConfValues holds,
// read by `Read` and shown by `Show`.
template <auto Member, auto Read, auto Show>
constexpr ConfKey Row(const char* name, const char* defaultText) {
    using T = std::remove_cvref_t<decltype(std::declval<ConfValues&>().*Member)>;
    return {name, defaultText,
            [](std::string_view text, ConfValues& values) -> const char* {
                T value{};
                if (const char* why = Read(text, value)) return why;
                values.*Member = std::move(value);
                return nullptr;
            },
            [](const ConfValues& values) -> std::string { return Show(values.*Member); }};
}

constexpr ConfKey kKeys[] = {
    Row<&ConfValues::passivePorts, ReadPortRange, ShowPortRange>("passive_ports", ""),
    Row<&ConfValues::passiveAddress, ReadAddress, ShowText>("passive_address", ""),
    Row<&ConfValues::portMapping, ReadYesNo, ShowYesNo>("port_mapping", "no"),
    Row<&ConfValues::ipv6, ReadYesNo, ShowYesNo>("ipv6", "no"),
    Row<&ConfValues::applyLimits, ReadYesNo, ShowYesNo>("apply_limits", "no"),
    Row<&ConfValues::hashPasswords, ReadStorage, ShowStorage>("password_storage", "plain"),
    Row<&ConfValues::transferLog, ReadFilePath, ShowText>("transfer_log", ""),
};

}  // namespace

std::span<const ConfKey> ConfKeys() { return kKeys; }

const ConfKey* FindConfKey(std::string_view name) {
    for (const ConfKey& key : kKeys) {
        if (name == key.name) return &key;
    }
    return nullptr;
}

std::optional<std::string> ParseConfValue(const ConfKey& key, std::string_view text,
                                          ConfValues& values) {
    if (text.empty()) text = key.defaultText;
    if (const char* why = key.read(text, values)) {
        return std::string(key.name) + " '" + std::string(text) + "' " + why;
    }
    return std::nullopt;
}

std::string ConfError::LogText() const {
    return "tarnhold.conf line " + std::to_string(line) + ": " + reason;
}

ConfValues ParseConf(const ConfFile& file, std::vector<ConfError>* errors) {
    ConfValues values;
    for (const ConfFile::Setting& setting : file.Settings()) {
        if (setting.malformed) {
            if (errors != nullptr) {
                errors->push_back({setting.line, "'" + std::string(setting.key) +
                                                     "' is not a line of the form key = value"});
            }
            continue;
        }
        const ConfKey* key = FindConfKey(setting.key);
        if (key == nullptr) continue;
        std::optional<std::string> reason = ParseConfValue(*key, setting.value, values);
        if (!reason) continue;
        if (errors != nullptr) errors->push_back({setting.line, std::move(*reason)});
        // The last line counts even when it is refused: its key falls back
        // to the default, not to an earlier line's value.
        ParseConfValue(*key, {}, values);
    }
    return values;
}

std::optional<std::string> SetConfValue(ConfFile& file, ConfValues& values, const ConfKey& key,
                                        std::string_view value) {
    value = Trim(value);
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        return std::string(key.name) + " must not contain line breaks";
    }
    ConfValues changed = values;
    if (std::optional<std::string> reason = ParseConfValue(key, value, changed)) return reason;
    file.Set(key.name, value);
    values = std::move(changed);
    return std::nullopt;
}
