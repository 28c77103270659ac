#include "app/settings_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/folder_owner.h"

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NOFOLLOW, mode);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

long ReadHolder(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

void WriteHolder(int fd) {
    const std::string text = std::to_string(static_cast<long>(::getpid())) + "\n";
    // Only a hint for the message of the one refused: failures do not matter.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(fd, text.data(), text.size(), 0);
    }
}

}  // namespace

SettingsLock::~SettingsLock() {
    if (fd_ != -1) ::close(fd_);
}

std::string SettingsLock::PathIn(const std::string& folder) {
    std::string path = folder.empty() ? "." : folder;
    if (path.back() != '/') path += '/';
    return path + "tarnhold.lock";
}

SettingsLock::Outcome SettingsLock::Acquire(const std::string& folder, long& holder,
                                            std::string& error) {
    holder = 0;
    const std::string path = PathIn(folder);
    bool writable = true;
    int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd != -1 && GiveToFolderOwner(fd, folder.c_str()) != 0) {
        error = "cannot give " + path + " to the folder's owner: " + std::strerror(errno);
        ::close(fd);
        return Outcome::kFailed;
    }
    if (fd == -1) {
        // A lock file that this user may only read still locks.
        const int createError = errno;
        writable = false;
        fd = OpenRetrying(path.c_str(), O_RDONLY);
        if (fd == -1) {
            error = "cannot create " + path + ": " + std::strerror(createError);
            return Outcome::kFailed;
        }
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc == -1 && errno == EINTR);
    if (rc != 0) {
        const int lockError = errno;
        if (lockError == EWOULDBLOCK) holder = ReadHolder(fd);
        ::close(fd);
        if (lockError == EWOULDBLOCK) return Outcome::kBusy;
        error = "cannot lock " + path + ": " + std::strerror(lockError);
        return Outcome::kFailed;
    }
    if (writable) WriteHolder(fd);
    fd_ = fd;
    return Outcome::kLocked;
}

std::string SettingsLockRefusal(SettingsLock::Outcome outcome, const std::string& folder,
                                long holder, const std::string& error, const std::string& what) {
    if (outcome == SettingsLock::Outcome::kBusy) {
        std::string who = holder > 0 ? "another Tarnhold process (" + std::to_string(holder) + ")"
                                     : "another Tarnhold process";
        return "cannot " + what + ": " + who + " is using the settings folder " + folder +
               "; stop it first, or choose another folder with --config-dir";
    }
    return "cannot " + what + ": " + error;
}
