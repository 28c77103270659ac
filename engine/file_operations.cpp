#include "engine/file_operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "config/path_checker.h"
#include "engine/path_mapping.h"

namespace {

bool IsBlank(std::string_view text) { return text.find_first_not_of(' ') == std::string_view::npos; }

// The last step of every change of folder: the checked path must be a
// folder; the session then keeps it as written.
int EnterCheckedFolder(AccessedPath& folder, std::string& currentFolder) {
    struct stat status;
    if (stat(folder.real.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return 0;
    currentFolder = std::move(folder.written);
    return 1;
}

// rename() that fails when the target exists instead of replacing it.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: check, then move. Another
    // session could create the target in between; the file system has no
    // better tool to offer here.
    struct stat status;
    if (lstat(to.c_str(), &status) == 0 || errno != ENOENT) return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

int ChangeFolder(const SessionPaths& session, std::string_view text, std::string& currentFolder) {
    AccessedPath folder;
    if (!AccessClientPath(session, text, PERM_FOLDER_LIST, ResolveMode::Follow, folder)) return 0;
    return EnterCheckedFolder(folder, currentFolder);
}

int EnterFolder(const SessionPaths& session, std::string_view realPath,
                std::string& currentFolder) {
    AccessedPath folder;
    if (!AccessRealPath(session, realPath, PERM_FOLDER_LIST, ResolveMode::Follow, folder)) return 0;
    return EnterCheckedFolder(folder, currentFolder);
}

int ChangeFolderUp(const SessionPaths& session, std::string& currentFolder) {
    return EnterFolder(session, ParentFolder(session.current), currentFolder);
}

int ChangeFolderWithinHome(const SessionPaths& session, std::string_view path,
                           std::string& currentFolder) {
    AccessedPath folder;
    if (!AccessClientPath(session, path, PERM_FOLDER_LIST, ResolveMode::Follow, folder)) return 0;
    std::string home(session.home);
    ResolveDotDot(home);
    std::string realHome;
    if (!ResolveRealPath(home, ResolveMode::Follow, realHome)) return 0;
    if (!IsAtOrBelow(home, folder.written) || !IsAtOrBelow(realHome, folder.real)) return 0;
    return EnterCheckedFolder(folder, currentFolder);
}

int RemoveFile(const SessionPaths& session, std::string_view path) {
    AccessedPath file;
    if (!AccessClientPath(session, path, PERM_FILE_DELETE, ResolveMode::Parent, file)) return 0;
    return unlink(file.real.c_str()) == 0 ? 1 : 0;
}

int RenameFile(const SessionPaths& session, std::string_view from, std::string_view to) {
    // An empty source would map to the current folder: never rename that
    // by accident.
    if (IsBlank(from)) return 0;
    AccessedPath source;
    if (!AccessClientPath(session, from, PERM_FILE_DELETE, ResolveMode::Parent, source)) return 0;
    struct stat status;
    if (lstat(source.real.c_str(), &status) != 0) return 0;
    // The target is checked too, so a client cannot move what it may
    // delete to a place it may not write to.
    const uint32_t needed = S_ISDIR(status.st_mode) ? PERM_FOLDER_CREATE : PERM_FILE_WRITE;
    AccessedPath target;
    if (!AccessClientPath(session, to, needed, ResolveMode::Parent, target)) return 0;
    return MoveWithoutReplacing(source.real, target.real) ? 1 : 0;
}

int MakeFolder(const SessionPaths& session, std::string_view path) {
    AccessedPath folder;
    if (!AccessClientPath(session, path, PERM_FOLDER_CREATE, ResolveMode::Parent, folder)) return 0;
    return mkdir(folder.real.c_str(), 0777) == 0 ? 1 : 0;
}

int RemoveFolder(const SessionPaths& session, std::string_view path) {
    AccessedPath folder;
    if (!AccessClientPath(session, path, PERM_FOLDER_DELETE, ResolveMode::Parent, folder)) return 0;
    return rmdir(folder.real.c_str()) == 0 ? 1 : 0;
}
