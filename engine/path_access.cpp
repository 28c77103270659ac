#include "engine/path_access.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
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

// The resolved parent folder of a normalised path, then its last name.
// "/" has no last name and fails.
bool ResolveParent(const std::string& path, std::string& out) {
    const std::size_t cut = path.rfind('/');
    if (cut == std::string::npos || cut + 1 == path.size()) return false;
    if (!RealPathOf(cut == 0 ? std::string("/") : path.substr(0, cut), out)) return false;
    if (out.back() != '/') out.push_back('/');
    out.append(path, cut + 1);
    return out.size() < kRealPathSize;
}

// Every link of a normalised path resolved. A name that does not exist
// yet is resolved through its parent; a dangling link fails, since what
// following it would create lies at a place that was never checked.
bool ResolveFollow(const std::string& path, std::string& out) {
    if (RealPathOf(path, out)) return out.size() < kRealPathSize;
    if (errno != ENOENT) return false;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 || errno != ENOENT) return false;
    return ResolveParent(path, out);
}

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
std::vector<Grant> ResolveGrants(const std::vector<Grant>& listed) {
    std::vector<Grant> resolved;
    resolved.reserve(listed.size() * 2);
    std::string place;
    for (const Grant& grant : listed) {
        resolved.push_back({ResolveFollow(grant.path, place) ? place : grant.path, grant.flags});
        if (ResolveParent(grant.path, place) && place != resolved.back().path) {
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

}  // namespace

bool ResolveRealPath(const std::string& path, ResolveMode mode, std::string& out) {
    return mode == ResolveMode::Follow ? ResolveFollow(path, out) : ResolveParent(path, out);
}

bool AccessRealPath(const SessionPaths& session, std::string_view writtenPath, uint32_t flags,
                    ResolveMode mode, AccessedPath& out) {
    if (session.account == nullptr || flags == 0 || HasNul(writtenPath)) return false;
    out.written.assign(writtenPath);
    ResolveDotDot(out.written);
    if (out.written.size() >= kRealPathSize) return false;

    std::vector<Grant> listed;
    {
        AccountStore::Lock lock(session.store);
        if (!GrantsAll(session.account->paths.GetPermissions(out.written), flags)) return false;
        listed = CopyGrants(*session.account);
    }

    if (!ResolveRealPath(out.written, mode, out.real)) return false;
    return GrantsAll(DeepestGrant(ResolveGrants(listed), out.real), flags);
}

bool AccessClientPath(const SessionPaths& session, std::string_view clientPath, uint32_t flags,
                      ResolveMode mode, AccessedPath& out) {
    std::string written;
    if (!MapPath(session.home, session.current, clientPath, written)) return false;
    return AccessRealPath(session, written, flags, mode, out);
}

bool GrantSnapshot::Take(const SessionPaths& session) {
    if (session.account == nullptr) return false;
    {
        AccountStore::Lock lock(session.store);
        listed_ = CopyGrants(*session.account);
    }
    resolved_ = ResolveGrants(listed_);
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
    // As ResolveParent joins the resolved folder and the last name.
    const std::size_t cut = written.rfind('/');
    if (cut == std::string::npos || cut + 1 == written.size() || resolvedFolder.empty()) return -1;
    std::string real = resolvedFolder;
    if (real.back() != '/') real.push_back('/');
    real.append(written, cut + 1);
    if (real.size() >= kRealPathSize) return -1;
    const int32_t asResolved = DeepestGrant(resolved_, real);
    if (asResolved == -1) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(asWritten) &
                                static_cast<uint32_t>(asResolved));
}
