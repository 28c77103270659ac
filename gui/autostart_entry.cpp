#include "gui/autostart_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "config/program_paths.h"

namespace {

constexpr const char* kEntryName = "TARNHOLD.desktop";

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p, each new level private as the XDG folders are.
bool MakeFolders(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return IsFolder(path);
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The folder, opened for syncing; -1 when it cannot be had.
int OpenFolder(const std::string& folder) {
    if (folder.empty() || !MakeFolders(folder)) return -1;
    return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

AutostartEntry::AutostartEntry(std::string executablePath)
    : executablePath_(std::move(executablePath)) {}

std::string AutostartEntry::Folder() {
    const std::string base = ConfigHome();
    return base.empty() ? std::string() : base + "/autostart";
}

std::string AutostartEntry::ExecArgument(const std::string& argument) {
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#`()";
    // Inside quotes these four take a backslash.
    constexpr std::string_view kEscapedInQuotes = "\"`$\\";
    const bool quote = argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
    std::string out;
    if (quote) out += '"';
    for (char c : argument) {
        if (c == '%') {
            out += "%%";
            continue;
        }
        if (quote && kEscapedInQuotes.find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    if (quote) out += '"';
    // The value is a string too, whose own escapes apply after the quoting.
    std::string value;
    for (char c : out) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string AutostartEntry::Text(const std::string& executablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tarnwell Server\n"
           "Comment=FTP server with a desktop console\n"
           "Exec=" +
           ExecArgument(executablePath) +
           "\n"
           "Icon=tarnhold\n"
           "Terminal=false\n";
}

AutostartEntry::Result AutostartEntry::Write() const {
    const std::string folder = Folder();
    const int folderFd = OpenFolder(folder);
    if (folderFd < 0) return Result::FolderFailed;

    std::string temp = folder + "/." + kEntryName + ".XXXXXX";
    bool written = false;
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd >= 0) {
        written = fchmod(fd, 0644) == 0 && WriteAll(fd, Text(executablePath_)) && fsync(fd) == 0;
        written = close(fd) == 0 && written;
        written = written && rename(temp.c_str(), (folder + "/" + kEntryName).c_str()) == 0;
        if (!written) unlink(temp.c_str());
    }
    // The rename is only lasting once the folder is synced.
    written = written && fsync(folderFd) == 0;
    close(folderFd);
    return written ? Result::Done : Result::EntryFailed;
}

AutostartEntry::Result AutostartEntry::Remove() const {
    const std::string folder = Folder();
    const int folderFd = OpenFolder(folder);
    if (folderFd < 0) return Result::FolderFailed;
    const bool removed = unlink((folder + "/" + kEntryName).c_str()) == 0 && fsync(folderFd) == 0;
    close(folderFd);
    return removed ? Result::Done : Result::EntryFailed;
}
