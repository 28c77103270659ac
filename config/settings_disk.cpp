#include "config/settings_disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "config/folder_owner.h"

namespace {

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Removes a temporary file after a failed step, keeping that step's errno
// for the caller.
void RemoveAfterFailure(SettingsDisk& disk, const std::string& path) {
    const int saved = errno;
    disk.Unlink(path.c_str());
    errno = saved;
}

bool WriteAll(SettingsDisk& disk, int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = disk.Write(fd, text.data(), text.size());
        if (n == -1 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes text to a new file at temp and syncs it; removes it on failure.
bool WriteTemp(SettingsDisk& disk, const std::string& temp, std::string_view text) {
    int fd = disk.OpenTemp(temp.c_str());
    if (fd == -1) return false;
    bool ok = WriteAll(disk, fd, text) && disk.Sync(fd) == 0;
    const int saved = errno;
    // A failed close may mean the data never reached the disk.
    if (disk.Close(fd) != 0) {
        ok = false;
    } else {
        errno = saved;
    }
    if (!ok) RemoveAfterFailure(disk, temp);
    return ok;
}

// Makes the backup a copy of the current file without ever leaving the
// file missing. No file yet: nothing to keep.
bool KeepBackup(SettingsDisk& disk, const std::string& path, const std::string& backupPath) {
    const std::string link = backupPath + ".tmp";
    disk.Unlink(link.c_str());  // left by a crash, if at all
    if (disk.Link(path.c_str(), link.c_str()) != 0) return errno == ENOENT;
    if (disk.Chmod(link.c_str(), 0600) != 0 || disk.Rename(link.c_str(), backupPath.c_str()) != 0) {
        RemoveAfterFailure(disk, link);
        return false;
    }
    return true;
}

}  // namespace

int SettingsDisk::OpenTemp(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd == -1 && errno == EINTR);
    // A temporary file left by a crash keeps its old mode: set it anew.
    if (fd != -1 && (::fchmod(fd, 0600) != 0 || GiveToFolderOwner(fd, FolderOf(path).c_str()) != 0)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

ssize_t SettingsDisk::Write(int fd, const void* data, std::size_t count) {
    return ::write(fd, data, count);
}

int SettingsDisk::Sync(int fd) { return ::fsync(fd); }

int SettingsDisk::Close(int fd) {
    int rc = ::close(fd);
    return rc == -1 && errno == EINTR ? 0 : rc;
}

int SettingsDisk::Link(const char* existing, const char* newPath) {
    return ::link(existing, newPath);
}

int SettingsDisk::Chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }

int SettingsDisk::Rename(const char* from, const char* to) { return ::rename(from, to); }

int SettingsDisk::Unlink(const char* path) { return ::unlink(path); }

int SettingsDisk::SyncFolder(const char* folder) {
    int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return -1;
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return rc;
}

bool WriteFileSafely(SettingsDisk& disk, const std::string& path, std::string_view text,
                     const std::string& backupPath) {
    static std::mutex writing;
    std::lock_guard<std::mutex> guard(writing);

    const std::string temp = path + ".tmp";
    if (!WriteTemp(disk, temp, text)) return false;
    if ((!backupPath.empty() && !KeepBackup(disk, path, backupPath)) ||
        disk.Rename(temp.c_str(), path.c_str()) != 0) {
        RemoveAfterFailure(disk, temp);
        return false;
    }
    return disk.SyncFolder(FolderOf(path).c_str()) == 0;
}
