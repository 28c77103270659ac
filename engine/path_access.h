// Path access: the one door from a client's path to a real path that a
// command may act on. Every command that touches the file system on a
// client's behalf goes through AccessClientPath (or AccessRealPath for a
// folder the session already holds), never through its own string joins.
//
// A path is granted a permission only when both of these grant it:
//  - the path as written (mapped and normalised as text, links untouched)
//    against the account's accessible paths as written, and
//  - the path as the file system resolves it against the accessible paths
//    resolved the same way.
// So a symbolic link inside an accessible folder never reaches anything
// that no accessible path covers, and an accessible path or a home folder
// that itself runs through a link works as configured.
//
// Nothing is cached between calls: links may change at any time. Within
// one call each folder on the way is resolved once, for the path and the
// accessible paths alike. The checks and the operation that follows are
// separate steps (except for a file opened by AccessClientFile), so a
// local user who can replace folders by links inside an accessible folder
// can still race them; FTP clients themselves cannot create links.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/account_store.h"
#include "config/records.h"

// How much of a path the file system resolves before the check.
enum class ResolveMode {
    // Every link, the last name's too: for commands that act on what the
    // name leads to (RETR, STOR, CWD, CDUP, listings). A name that does
    // not exist yet (a new upload) is resolved through its parent; a
    // dangling link is refused, since what it would create lies elsewhere.
    Follow,
    // Only the parent folder, then the last name appended: for commands
    // that act on the name itself (DELE, RMD, MKD, RNFR's source, RNTO's
    // target), so a link is deleted or renamed, never its target.
    Parent,
};

// Resolves a real path in normal form as `mode` says, into `out`. Returns
// false when a folder on the way is missing, a link loops or dangles where
// it must be followed, the path is "/" in Parent mode (no last name), or
// the result is too long. Grants nothing by itself. Any thread.
[[nodiscard]] bool ResolveRealPath(const std::string& path, ResolveMode mode, std::string& out);

// A session's place in the file system, as the path checks need it.
// `home` and `current` are the session's folders in written form; the
// session's client record must be in `account` for the duration of a call
// (see AccountStore).
struct SessionPaths {
    AccountStore& store;
    const account_s* account;
    std::string_view home;
    std::string_view current;
};

// The outcome of a granted check.
struct AccessedPath {
    // The mapped path as written: what the session keeps as its current
    // folder after a change of folder.
    std::string written;
    // The same path resolved by the file system: what to act on.
    std::string real;
};

// Maps a client path (MapPath) and checks it. `flags` is the permission
// the command needs (one PERM_* bit; every bit given is required).
// Returns true with `out` filled when the path is granted; false when the
// mapping fails, no account is given, either check refuses, or the path
// cannot be resolved (a missing folder on the way, a link loop, a result
// longer than a real path may be). `out` is unspecified after a failure.
// Takes the store's lock for the written check; touches the file system
// only without it. Any session thread.
[[nodiscard]] bool AccessClientPath(const SessionPaths& session, std::string_view clientPath,
                                    uint32_t flags, ResolveMode mode, AccessedPath& out);

// AccessClientPath in Follow mode for a file the caller opens with open(2)
// `openFlags` right after the check. When no name on the path is a link,
// the file is opened here, in one call that fails on any link, after both
// checks granted it: `fd` is then the open descriptor (the caller owns
// it), and the check and the open cannot be raced. Otherwise `fd` is -1
// and the caller opens `out.real` itself. Returns as AccessClientPath.
[[nodiscard]] bool AccessClientFile(const SessionPaths& session, std::string_view clientPath,
                                    uint32_t flags, int openFlags, AccessedPath& out, int& fd);

// AccessClientPath for a real path the session already holds (its current
// folder, the parent of it for CDUP): normalised with ResolveDotDot, then
// checked the same way. Fails for a path that holds a NUL or is too long.
[[nodiscard]] bool AccessRealPath(const SessionPaths& session, std::string_view writtenPath,
                                  uint32_t flags, ResolveMode mode, AccessedPath& out);

// The account's grants copied once, for the permission questions of many
// paths in a row (the perm facts of a machine listing), each answered as
// AccessRealPath would answer it: the flags granted as written and as
// resolved, without taking the store's lock again. A snapshot goes stale
// when the account's paths change; take one per command.
class GrantSnapshot {
public:
    // Copies the account's grants under the store's lock and resolves them
    // (without it). False when the session has no account.
    bool Take(const SessionPaths& session);
    // The flags granted to `written` (a real path in normal form, as
    // written) both as written and as resolved in `mode`: the bits both
    // checks grant, or -1 when either finds no accessible path or the path
    // cannot be resolved.
    int32_t Flags(const std::string& written, ResolveMode mode) const;
    // Flags for `written`, an entry of a folder that Follow resolves to
    // `resolvedFolder`, whose last name is no symbolic link: such a name
    // resolves to resolvedFolder + "/" + name in either mode, so a listing
    // does not resolve its folder again for every entry.
    int32_t EntryFlags(const std::string& written, const std::string& resolvedFolder) const;

    struct Grant {
        std::string path;
        uint32_t flags;
    };

private:
    std::vector<Grant> listed_;
    std::vector<Grant> resolved_;
};
