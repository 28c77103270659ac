#include "engine/path_access.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "engine/path_mapping.h"

namespace {

// An accessible path with its flags, copied out of the account so the file
// system is never touched under the store's lock.
using Grant = GrantSnapshot::Grant;

bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool GrantsAll(int32_t granted, uint32_t flags) {
    return granted != -1 && (static_cast<uint32_t>(granted) & flags) == flags;
}

// realpath() of a path into `out`; errno tells why when it fails.
bool RealPathOf(const std::string& path, std::string& out) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    out.assign(resolved);
    std::free(resolved);
    return true;
}

// The resolved folder and a name in it joined, as the name resolves when
// it is no link. False when the result is too long for a real path.
bool JoinResolved(const std::string& folder, std::string_view name, std::string& out) {
    out = folder;
    if (out.back() != '/') out.push_back('/');
    out.append(name);
    return out.size() < kRealPathSize;
}

// openat2() refused by the kernel or a sandbox: every caller then walks
// the path name by name.
std::atomic<bool> openat2Unavailable{false};

// Opens an absolute path with open(2) `flags` only if no name on it is a
// link, in one openat2() call: a readlink() per name costs a system call
// each. -1 with errno when it fails; ELOOP means a link is on the way.
int OpenWithoutLinks(const std::string& path, int flags) {
    if (openat2Unavailable.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<unsigned>(flags);
    how.mode = (flags & O_CREAT) != 0 ? 0644 : 0;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1 && errno == ENOSYS) openat2Unavailable.store(true, std::memory_order_relaxed);
    return static_cast<int>(fd);
}

// Whether an absolute path exists with no link anywhere on it. False
// where openat2() is unavailable; the callers then walk the path.
bool ExistsWithoutLinks(const std::string& path) {
    const int fd = OpenWithoutLinks(path, O_PATH | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    // A sandbox that filters the call answers EPERM, which O_PATH itself
    // never gives.
    if (errno == EPERM) openat2Unavailable.store(true, std::memory_order_relaxed);
    return false;
}

// The last name of a path in normal form; empty for "/" and for a text
// that is no path.
std::string_view LastName(std::string_view path) {
    const std::size_t cut = path.rfind('/');
    return cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
}

// Resolves the paths of one command, each folder on the way only once.
// The accessible paths and the command's own path share their leading
// folders (the home /srv/ftp and /srv/ftp/pub/a.txt), and realpath() on
// each of them would read every one of those folders again. The walk
// takes one name at a time, as realpath() does: a name that is no link
// lies in its resolved folder under its own name (JoinResolved, as a
// listing joins its entries), and a link is left to realpath(). A path
// with no link at all, the common case, is asked about in one call
// instead (Unlinked). What was resolved is kept only for one command:
// links may change between commands.
class PathResolver {
public:
    bool Resolve(const std::string& path, ResolveMode mode, std::string& out) {
        return mode == ResolveMode::Follow ? Follow(path, out) : Parent(path, out);
    }

    // Every link of a normalised path resolved. A name that does not exist
    // yet is resolved through its parent; a dangling link fails, since what
    // following it would create lies at a place that was never checked.
    bool Follow(const std::string& path, std::string& out) {
        if (!IsAbsolute(path)) return false;
        if (path == "/") {
            out = path;
            return true;
        }
        for (const Known& known : known_) {
            if (known.written == path) {
                out = known.real;
                return true;
            }
        }
        if (Unlinked(path, out)) return true;
        std::string folder;
        if (!Existing(FolderOf(path), folder)) return false;
        switch (Step(folder, LastName(path), out)) {
            case Name::Resolved: Remember(path, out); return true;
            case Name::Missing: return true;
            case Name::Failed: return false;
        }
        return false;
    }

    // Takes a normalised path and every folder on it as resolving to
    // themselves, as they do when none of them is a link, without asking
    // the file system. Only for a caller that then opens the path with
    // OpenWithoutLinks, which proves the guess or fails. False (nothing
    // taken) where that open is unavailable or the path cannot be one.
    bool AssumeUnlinked(const std::string& path) {
        if (openat2Unavailable.load(std::memory_order_relaxed) || !IsAbsolute(path) ||
            path == "/" || path.size() >= kRealPathSize) {
            return false;
        }
        for (std::size_t cut = path.find('/', 1); cut != std::string::npos;
             cut = path.find('/', cut + 1)) {
            Remember(path.substr(0, cut), path.substr(0, cut));
        }
        Remember(path, path);
        return true;
    }

    // The resolved parent folder of a normalised path, then its last name.
    // "/" has no last name and fails.
    bool Parent(const std::string& path, std::string& out) {
        if (!IsAbsolute(path) || path == "/") return false;
        std::string folder;
        return Existing(FolderOf(path), folder) && JoinResolved(folder, LastName(path), out);
    }

private:
    enum class Name { Resolved, Missing, Failed };

    struct Known {
        std::string written;
        std::string real;
    };

    static bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

    static std::string_view FolderOf(std::string_view path) {
        const std::size_t cut = path.rfind('/');
        return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
    }

    // Only the first folders are kept: those the accessible paths share
    // with the path lie near the root, and a client's path thousands of
    // folders deep would otherwise copy every prefix of itself.
    void Remember(std::string_view written, const std::string& real) {
        if (known_.size() < kKnownFolders) known_.push_back({std::string(written), real});
    }

    // One name in a resolved folder: where it leads, or Missing (`out`
    // then holds the name joined to the folder) when the folder has no
    // such name, or Failed (a link that leads nowhere or loops, a folder
    // that is not one, no permission, a result too long).
    static Name Step(const std::string& folder, std::string_view name, std::string& out) {
        if (!JoinResolved(folder, name, out)) return Name::Failed;
        char first;
        if (readlink(out.c_str(), &first, 1) >= 0) {
            return RealPathOf(std::string(out), out) ? Name::Resolved : Name::Failed;
        }
        if (errno == EINVAL) return Name::Resolved;  // there, and no link
        return errno == ENOENT ? Name::Missing : Name::Failed;
    }

    // The deepest folder of `path` that this command resolved already:
    // path[0, returned length) resolves to `out` ("/" for none).
    std::size_t Deepest(std::string_view path, std::string& out) const {
        out = "/";
        std::size_t done = 0;
        for (const Known& known : known_) {
            if (known.written.size() > done && IsAtOrBelow(known.written, path)) {
                done = known.written.size();
                out = known.real;
            }
        }
        return done;
    }

    // A path of at least two names beyond its deepest resolved folder,
    // resolved in one call when none of those names is a link: each then
    // lies in its folder under its own name, and every folder on the way
    // is remembered as the walk would remember it. False (and `out`
    // unspecified) when the rest holds a link, is missing, or cannot be
    // asked about this way; the walk then decides.
    bool Unlinked(std::string_view path, std::string& out) {
        const std::size_t done = Deepest(path, out);
        const std::string_view rest = path.substr(done);  // begins with '/'
        if (rest.find('/', 1) == std::string_view::npos) return false;
        if (out == "/") out.clear();
        const std::size_t base = out.size();
        out.append(rest);
        if (out.size() >= kRealPathSize || !ExistsWithoutLinks(out)) return false;
        for (std::size_t cut = rest.find('/', 1); cut != std::string_view::npos;
             cut = rest.find('/', cut + 1)) {
            Remember(path.substr(0, done + cut), out.substr(0, base + cut));
        }
        Remember(path, out);
        return true;
    }

    // What realpath() gives for a normalised path that must exist, from the
    // deepest of its folders that this command resolved already.
    bool Existing(std::string_view path, std::string& out) {
        out = "/";
        if (path == "/") return true;
        if (Unlinked(path, out)) return true;
        std::size_t done = Deepest(path, out);  // path[0, done) is resolved into `out`
        std::string next;
        while (done < path.size()) {
            std::size_t end = path.find('/', done + 1);
            if (end == std::string_view::npos) end = path.size();
            if (Step(out, path.substr(done + 1, end - done - 1), next) != Name::Resolved) {
                return false;
            }
            out.swap(next);
            done = end;
            Remember(path.substr(0, done), out);
        }
        return true;
    }

    static constexpr std::size_t kKnownFolders = 64;
    std::vector<Known> known_;
};

// The flags of the deepest grant covering `path`, or -1. Grants that
// resolve to the same place add up: each of them grants its flags there,
// and the check as written still limits what the client's path may do.
int32_t DeepestGrant(const std::vector<Grant>& grants, const std::string& path) {
    int32_t result = -1;
    std::size_t depth = 0;
    for (const Grant& grant : grants) {
        if (!IsAtOrBelow(grant.path, path)) continue;
        // Covering grants are prefixes of the path, so longer is deeper.
        if (result == -1 || grant.path.size() > depth) {
            result = static_cast<int32_t>(grant.flags);
            depth = grant.path.size();
        } else if (grant.path.size() == depth) {
            result = static_cast<int32_t>(static_cast<uint32_t>(result) | grant.flags);
        }
    }
    return result;
}

// Each accessible path resolved both ways: where it leads (so a listed
// path that runs through a link covers the real folders below it) and
// where it lies itself (so a listed link can still be deleted or renamed
// as a name). One that cannot be resolved is kept as written.
std::vector<Grant> ResolveGrants(const std::vector<Grant>& listed, PathResolver& resolver) {
    std::vector<Grant> resolved;
    resolved.reserve(listed.size() * 2);
    std::string place;
    for (const Grant& grant : listed) {
        resolved.push_back({resolver.Follow(grant.path, place) ? place : grant.path, grant.flags});
        if (resolver.Parent(grant.path, place) && place != resolved.back().path) {
            resolved.push_back({place, grant.flags});
        }
    }
    return resolved;
}

// The account's accessible paths with their flags. The caller holds the
// store's lock.
std::vector<Grant> CopyGrants(const account_s& account) {
    std::vector<Grant> listed;
    listed.reserve(static_cast<std::size_t>(account.paths.entries.count));
    for (const textnode_s* entry = account.paths.entries.head; entry != nullptr;
         entry = entry->next) {
        listed.push_back({entry->path, entry->flags});
    }
    return listed;
}

// The written check of AccessRealPath: `out.written` normalised and
// granted as written, and the account's grants copied into `listed`.
bool GrantedAsWritten(const SessionPaths& session, std::string_view writtenPath, uint32_t flags,
                      AccessedPath& out, std::vector<Grant>& listed) {
    if (session.account == nullptr || flags == 0 || HasNul(writtenPath)) return false;
    out.written.assign(writtenPath);
    ResolveDotDot(out.written);
    if (out.written.size() >= kRealPathSize) return false;
    AccountStore::Lock lock(session.store);
    if (!GrantsAll(session.account->paths.GetPermissions(out.written), flags)) return false;
    listed = CopyGrants(*session.account);
    return true;
}

// The resolved check: `out.real` resolved from `out.written` and granted
// by the grants resolved alike. The path and the accessible paths are
// resolved by one resolver, so the folders they share are read once.
bool GrantedAsResolved(const std::vector<Grant>& listed, uint32_t flags, ResolveMode mode,
                       AccessedPath& out) {
    PathResolver resolver;
    if (!resolver.Resolve(out.written, mode, out.real)) return false;
    return GrantsAll(DeepestGrant(ResolveGrants(listed, resolver), out.real), flags);
}

}  // namespace

bool ResolveRealPath(const std::string& path, ResolveMode mode, std::string& out) {
    PathResolver resolver;
    return resolver.Resolve(path, mode, out);
}

bool AccessRealPath(const SessionPaths& session, std::string_view writtenPath, uint32_t flags,
                    ResolveMode mode, AccessedPath& out) {
    std::vector<Grant> listed;
    return GrantedAsWritten(session, writtenPath, flags, out, listed) &&
           GrantedAsResolved(listed, flags, mode, out);
}

bool AccessClientPath(const SessionPaths& session, std::string_view clientPath, uint32_t flags,
                      ResolveMode mode, AccessedPath& out) {
    std::string written;
    if (!MapPath(session.home, session.current, clientPath, written)) return false;
    return AccessRealPath(session, written, flags, mode, out);
}

bool AccessClientFile(const SessionPaths& session, std::string_view clientPath, uint32_t flags,
                      int openFlags, AccessedPath& out, int& fd) {
    fd = -1;
    std::string written;
    std::vector<Grant> listed;
    if (!MapPath(session.home, session.current, clientPath, written) ||
        !GrantedAsWritten(session, written, flags, out, listed)) {
        return false;
    }
    // With no link on the path it resolves to itself: the grants are
    // checked against it as such, and only then is it opened, by a call
    // that fails on any link. So the check and the open are one step,
    // and the path costs no walk of its own. Otherwise, or when that open
    // fails for any reason, the check is made as for any path and the
    // caller opens the file.
    PathResolver assumed;
    if (assumed.AssumeUnlinked(out.written) &&
        GrantsAll(DeepestGrant(ResolveGrants(listed, assumed), out.written), flags)) {
        fd = OpenWithoutLinks(out.written, openFlags);
        if (fd >= 0) {
            out.real = out.written;
            return true;
        }
    }
    return GrantedAsResolved(listed, flags, ResolveMode::Follow, out);
}

bool GrantSnapshot::Take(const SessionPaths& session) {
    if (session.account == nullptr) return false;
    {
        AccountStore::Lock lock(session.store);
        listed_ = CopyGrants(*session.account);
    }
    PathResolver resolver;
    resolved_ = ResolveGrants(listed_, resolver);
    return true;
}

int32_t GrantSnapshot::Flags(const std::string& written, ResolveMode mode) const {
    // The listed paths are distinct and normalised, so the deepest one
    // covering the written path is what the account's path tree answers.
    const int32_t asWritten = DeepestGrant(listed_, written);
    if (asWritten == -1) return -1;
    std::string real;
    if (!ResolveRealPath(written, mode, real)) return -1;
    const int32_t asResolved = DeepestGrant(resolved_, real);
    if (asResolved == -1) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(asWritten) &
                                static_cast<uint32_t>(asResolved));
}

int32_t GrantSnapshot::EntryFlags(const std::string& written,
                                  const std::string& resolvedFolder) const {
    const int32_t asWritten = DeepestGrant(listed_, written);
    if (asWritten == -1) return -1;
    // As the resolver joins a name that is no link to its folder.
    const std::string_view name = LastName(written);
    std::string real;
    if (name.empty() || resolvedFolder.empty() || !JoinResolved(resolvedFolder, name, real)) {
        return -1;
    }
    const int32_t asResolved = DeepestGrant(resolved_, real);
    if (asResolved == -1) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(asWritten) &
                                static_cast<uint32_t>(asResolved));
}
