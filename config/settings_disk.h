// The crash-safe writer of the files in the settings folder (tarnhold.bot
// with its backup, tarnhold.conf), and the file-system calls it makes,
// behind a seam so that a test can make any single step fail.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// The file-system calls of WriteFileSafely, one per step. Each returns
// what the system call returns (-1 with errno set on failure).
class SettingsDisk {
public:
    virtual ~SettingsDisk() = default;
    // Creates or truncates the file with mode 0600, owned by the folder's
    // owner when root writes it (GiveToFolderOwner); a descriptor or -1.
    virtual int OpenTemp(const char* path);
    virtual ssize_t Write(int fd, const void* data, std::size_t count);
    virtual int Sync(int fd);
    virtual int Close(int fd);
    virtual int Link(const char* existing, const char* newPath);
    virtual int Chmod(const char* path, mode_t mode);
    virtual int Rename(const char* from, const char* to);
    virtual int Unlink(const char* path);
    virtual int SyncFolder(const char* folder);
};

// Replaces the file at `path` by `text` so that a complete file is there
// at every moment: the text goes to `path`.tmp (mode 0600) and is synced;
// when `backupPath` is not empty, an existing file at `path` becomes that
// backup through a hard link (mode 0600); the temporary file is renamed
// onto `path`; the folder is synced. Returns true when every step
// succeeded. On failure errno holds the failing step's error, nothing
// half-written is put in place and the temporary files are removed.
// Any thread: writes are serialised, since they share temporary names.
bool WriteFileSafely(SettingsDisk& disk, const std::string& path, std::string_view text,
                     const std::string& backupPath = {});
