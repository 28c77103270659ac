#include "net/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace {

// Takes the sharing lock on the whole file without waiting. A file
// system without such locks (ENOLCK, EINVAL, EOPNOTSUPP) serves unlocked
// rather than not at all; only a conflicting holder refuses the open.
bool TakeSharingLock(int fd, bool forWriting) {
    struct flock lock = {};
    lock.l_type = forWriting ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file, however it grows
    int rc;
    do {
        rc = fcntl(fd, F_OFD_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    if (rc == 0) return true;
    return errno != EAGAIN && errno != EACCES;
}

void CloseDescriptor(int fd) {
    // Linux releases the descriptor even when close reports EINTR, so a
    // retry could close a descriptor another thread has just been given.
    ::close(fd);
}

}  // namespace

CIP_File::~CIP_File() { Close(); }

int CIP_File::OpenFlags(int access, int disposition, int append) {
    int flags = O_CLOEXEC | O_NOCTTY;
    // Opening a FIFO for reading would otherwise wait for a writer forever.
    // The flag stays: only regular files are kept, and on those it changes
    // nothing (open(2)), so clearing it would be one more system call per
    // file for no effect.
    flags |= O_NONBLOCK;
    if (access == FILE_ACCESS_READ) {
        flags |= O_RDONLY;
    } else if (access == FILE_ACCESS_READ_WRITE) {
        flags |= O_RDWR;
    } else {
        return -1;
    }
    switch (disposition) {
        case FILE_OPEN_EXISTING: break;
        // No O_TRUNC: the file is emptied only once the lock is held.
        case FILE_CREATE_ALWAYS:
        case FILE_OPEN_ALWAYS: flags |= O_CREAT; break;
        default: return -1;
    }
    if (append != 0) flags |= O_APPEND;
    return flags;
}

int CIP_File::Open(const char* path, int access, int disposition, int appendFlag) {
    Close();
    if (path == nullptr) return -1;
    std::string_view trimmed(path);
    while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
    if (trimmed.empty()) return -1;
    std::string realPath(trimmed);

    const int flags = OpenFlags(access, disposition, appendFlag);
    if (flags == -1) return -1;
    int fd;
    do {
        fd = ::open(realPath.c_str(), flags, 0644);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return -1;
    return Adopt(fd, access, disposition, appendFlag);
}

int CIP_File::Adopt(int fd, int access, int disposition, int appendFlag) {
    Close();
    // Folders open for reading on Linux, and devices or FIFOs would hang or
    // never end a transfer: only regular files count as files here.
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ok = ok && TakeSharingLock(fd, access == FILE_ACCESS_READ_WRITE);
    // Only a file with contents is truncated: on some file systems (ext4)
    // truncating even an empty file makes its close flush all data later
    // written to it, which slows every upload of a new file.
    if (ok && disposition == FILE_CREATE_ALWAYS && st.st_size > 0) {
        int rc;
        do {
            rc = ::ftruncate(fd, 0);
        } while (rc == -1 && errno == EINTR);
        ok = rc == 0;
    }
    if (!ok) {
        CloseDescriptor(fd);
        return -1;
    }
    handle = fd;
    append = appendFlag;
    // Its size now: emptied above, or as the status found it.
    sizeAtOpen = disposition == FILE_CREATE_ALWAYS ? 0 : static_cast<std::int64_t>(st.st_size);
    return 0;
}

int CIP_File::Close() {
    if (handle == -1) return -1;
    int rc = ::close(handle);
    handle = -1;
    sizeAtOpen = -1;
    return rc == 0 || errno == EINTR ? 1 : 0;
}

ssize_t CIP_File::Read(void* buffer, std::size_t count) {
    if (handle == -1 || buffer == nullptr) return -1;
    ssize_t n;
    do {
        n = ::read(handle, buffer, count);
    } while (n == -1 && errno == EINTR);
    return n;
}

ssize_t CIP_File::Write(const void* data, std::size_t count) {
    if (handle == -1 || data == nullptr) return -1;
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(handle, p + done, count - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::int64_t CIP_File::Seek(std::int64_t distance, int method) {
    if (handle == -1) return -1;
    int whence;
    switch (method) {
        case SEEK_FROM_START: whence = SEEK_SET; break;
        case SEEK_FROM_CURRENT: whence = SEEK_CUR; break;
        case SEEK_FROM_END: whence = SEEK_END; break;
        default: return -1;
    }
    off_t position = ::lseek(handle, static_cast<off_t>(distance), whence);
    return position == static_cast<off_t>(-1) ? -1 : static_cast<std::int64_t>(position);
}

std::int64_t CIP_File::Size() {
    if (handle == -1) return -1;
    struct stat st;
    if (::fstat(handle, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}
