// The navigation and file-management operations of an FTP session: CWD,
// CDUP, DELE, RNFR/RNTO, MKD and RMD. Each maps its client path and checks
// the permission it needs through the path access check
// (engine/path_access.h), then makes one file-system call on the resolved
// path. Each returns 1 for success and 0 for failure, like the session's
// command handlers; none sends a reply, and none reports why it failed.
//
// The current folder is kept in written form and is changed only through
// the `currentFolder` argument, never with chdir(): the process has one
// current folder, shared by every session. `currentFolder` may be the
// string that session.current views; after a change that view is stale,
// so build a fresh SessionPaths for the next call.
//
// All operations run on the session's own thread; two sessions acting on
// the same file leave the outcome to the file system.
#pragma once

#include <string>
#include <string_view>

#include "engine/path_access.h"

// CWD: enters the folder the client path names when it needs and grants
// PERM_FOLDER_LIST (as written and as resolved) and stat() confirms a
// folder; `currentFolder` becomes the mapped path as written. The empty
// text names the current folder. 0 leaves `currentFolder` unchanged.
int ChangeFolder(const SessionPaths& session, std::string_view text, std::string& currentFolder);

// CWD for a real path the session already holds: the same checks and
// effect as ChangeFolder, without the mapping.
int EnterFolder(const SessionPaths& session, std::string_view realPath,
                std::string& currentFolder);

// CDUP: EnterFolder of the folder above session.current. At home it fails
// unless an accessible path covers the folder above home; at "/" it
// re-enters "/".
int ChangeFolderUp(const SessionPaths& session, std::string& currentFolder);

// Enters a folder like ChangeFolder, and only one that lies within the home
// folder: the mapped path at or below home as written, and its resolved
// path at or below home as resolved (component boundaries both times).
// Fails, leaving `currentFolder` unchanged, otherwise.
int ChangeFolderWithinHome(const SessionPaths& session, std::string_view path,
                           std::string& currentFolder);

// DELE: deletes the file, or the symbolic link itself, that the client
// path names; needs PERM_FILE_DELETE. Fails for a folder.
int RemoveFile(const SessionPaths& session, std::string_view path);

// RNTO: renames or moves `from` (the stored RNFR text) to `to`. The source
// needs PERM_FILE_DELETE; the target must lie where an accessible path
// grants PERM_FILE_WRITE (a file or a link) or PERM_FOLDER_CREATE (a
// folder). Fails, changing nothing, when `from` is empty or blank (no RNFR
// yet, or one without an argument), when the source does not exist, and
// when the target exists. Links are moved as links.
int RenameFile(const SessionPaths& session, std::string_view from, std::string_view to);

// MKD: creates the folder (mode 0777 less the umask); needs
// PERM_FOLDER_CREATE. Fails when the name exists.
int MakeFolder(const SessionPaths& session, std::string_view path);

// RMD: removes the empty folder; needs PERM_FOLDER_DELETE. Fails for a
// folder that holds anything and for a link, even one to a folder.
int RemoveFolder(const SessionPaths& session, std::string_view path);
