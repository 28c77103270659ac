// The keys of tarnhold.conf as data: one row per key with its name, its
// default, its parser (which says why a value is refused) and the member
// of ConfValues that receives it. The loader, `tarnhold option list/set`
// and the "Network options" window all walk this one table, so a new key
// is one row here and one member in ConfValues.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class ConfFile;

// A range of ports, low <= high.
struct PortRange {
    uint16_t low = 0;
    uint16_t high = 0;
    bool operator==(const PortRange&) const = default;
};

// The values of the keys as the server uses them. A default-constructed
// object holds every key's default, which is the design's behaviour.
struct ConfValues {
    // passive_ports: PASV and EPSV take their ports from this range;
    // none: the design's rotation.
    std::optional<PortRange> passivePorts;
    // passive_address: an IPv4 address or a host name (not resolved here)
    // announced to public clients; empty: the control connection's local
    // address.
    std::string passiveAddress;
    // port_mapping: ask the router to forward the ports.
    bool portMapping = false;
    // ipv6: listen on [::] as well, serving IPv6 clients beside IPv4 ones.
    bool ipv6 = false;
    // apply_limits: "Max user limit", each account's "Max logins" and its
    // "Timeout interval" are applied; otherwise the fixed 20 connections
    // and the server's idle time-out, as designed. Read at every new
    // connection, login and command line, so a change applies at once.
    bool applyLimits = false;
    // password_storage: passwords set from now on are stored as argon2id
    // hashes, and plain ones are replaced by theirs at their next login.
    bool hashPasswords = false;
    // transfer_log: the xferlog file, relative to the settings folder
    // unless absolute; empty: none.
    std::string transferLog;

    bool operator==(const ConfValues&) const = default;
};

struct ConfKey {
    const char* name;
    // The value meaning "default"; an empty value in the file means it too.
    const char* defaultText;
    // Reads a value (without surrounding blanks; empty only when the
    // default is) into its member of `values`. Returns null, or why the
    // value is refused (as "must be yes or no"), leaving `values`
    // unchanged. ParseConfValue is the way to call it.
    const char* (*read)(std::string_view text, ConfValues& values);
    // The member's value as `option list` shows it and `option set` takes it.
    std::string (*show)(const ConfValues& values);
};

// Every key, in the order `option list` shows them.
std::span<const ConfKey> ConfKeys();

// The row of `name`, or null for a key this version does not know.
const ConfKey* FindConfKey(std::string_view name);

// Reads `text` (without surrounding blanks; empty: the default) for `key`
// into `values`. Returns the reason it is refused, naming the key and the
// value, and then leaves `values` unchanged.
std::optional<std::string> ParseConfValue(const ConfKey& key, std::string_view text,
                                          ConfValues& values);

// A line of the file whose value was refused.
struct ConfError {
    std::size_t line;  // from 1
    std::string reason;

    // "tarnhold.conf line N: " + reason, for the log in style "TarnHold error".
    std::string LogText() const;
};

// The values the file's lines give: for each key the last line carrying
// it counts; a refused value gives the key's default (and an entry in
// `errors`, as does a line that is not `key = value`); unknown keys are
// ignored, since they may belong to a newer version.
ConfValues ParseConf(const ConfFile& file, std::vector<ConfError>* errors = nullptr);

// `option set` and the "Network options" window: checks `value` (blanks
// around it dropped; empty: the default) for `key` and, when it parses,
// sets it in both the file's lines and `values`. Returns the reason when
// it is refused, changing neither.
std::optional<std::string> SetConfValue(ConfFile& file, ConfValues& values, const ConfKey& key,
                                        std::string_view value);
