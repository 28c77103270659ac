#include "engine/listing.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Column layout of a LIST line.
constexpr std::size_t kFixedWidth = 64;
constexpr std::size_t kOwnerColumn = 15;
constexpr std::size_t kGroupColumn = 24;
constexpr std::size_t kSizeEndColumn = 44;
constexpr std::size_t kMonthColumn = 46;
constexpr std::size_t kDayColumn = 50;
constexpr std::size_t kTimeColumn = 53;
constexpr std::size_t kNameColumn = 59;

void Put(std::string& line, std::size_t column, std::string_view text) {
    line.replace(column, text.size(), text);
}

}  // namespace

ListingEntry MakeListingEntry(std::string_view name, const struct stat& status) {
    ListingEntry entry;
    entry.name = std::string(name);
    entry.folder = S_ISDIR(status.st_mode);
    entry.hidden = !name.empty() && name.front() == '.';
    entry.readOnly = (status.st_mode & S_IWUSR) == 0;
    entry.size = static_cast<std::int64_t>(status.st_size);
    entry.modified = status.st_mtime;
    entry.mode = static_cast<std::uint32_t>(status.st_mode);
    return entry;
}

std::string FormatListLine(const ListingEntry& entry, std::time_t now) {
    std::string line(kFixedWidth, ' ');
    Put(line, 0, "-r-xr-x---");
    if (entry.folder) line[0] = 'd';
    if (!entry.hidden) {
        line[7] = 'r';
        line[9] = 'x';
    }
    if (!entry.readOnly) line[8] = 'w';
    line[13] = '1';
    Put(line, kOwnerColumn, "owner");
    Put(line, kGroupColumn, "group");

    // The whole size: a 32-bit cut would show a file of 2 GiB or more as
    // negative or small, and clients that mirror by size would be misled.
    char digits[24];
    int count = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(entry.size));
    std::size_t length = static_cast<std::size_t>(count);
    std::size_t room = kSizeEndColumn - (kGroupColumn + 5);  // keeps a blank after "group"
    if (length <= room) {
        Put(line, kSizeEndColumn + 1 - length, digits);
    } else {
        // Too wide for its column: keep one blank after "group" and push
        // the rest of the line to the right.
        line.insert(kSizeEndColumn + 1, length - room, ' ');
        Put(line, kGroupColumn + 6, digits);
    }
    const std::size_t shift = length > room ? length - room : 0;

    std::tm when{};
    gmtime_r(&entry.modified, &when);
    std::tm present{};
    localtime_r(&now, &present);
    Put(line, kMonthColumn + shift, kMonths[when.tm_mon]);
    char text[16];
    std::snprintf(text, sizeof text, "%2d", when.tm_mday);
    Put(line, kDayColumn + shift, text);
    if (when.tm_year == present.tm_year) {
        std::snprintf(text, sizeof text, "%02d:%02d", when.tm_hour, when.tm_min);
    } else {
        std::snprintf(text, sizeof text, " %04d", when.tm_year + 1900);
    }
    Put(line, kTimeColumn + shift, text);

    line.resize(kNameColumn + shift);
    line.append(entry.name, 0, kListingNameLimit);
    line.append("\r\n");
    return line;
}

std::string FormatNameLine(std::string_view name) {
    std::string line(name.substr(0, kListingNameLimit));
    line.append("\r\n");
    return line;
}

FolderEnumeration::FolderEnumeration(const std::string& folder) {
    int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) return;
    dir_ = fdopendir(handle);
    if (dir_ == nullptr) close(handle);
}

FolderEnumeration::~FolderEnumeration() {
    if (dir_ != nullptr) closedir(dir_);
}

bool FolderEnumeration::Next(ListingEntry& entry) {
    if (dir_ == nullptr) return false;
    const int folder = dirfd(dir_);
    for (;;) {
        errno = 0;
        const dirent* found = readdir(dir_);
        if (found == nullptr) return false;
        struct stat status {};
        // A link shows what it points to; a dangling one shows itself. An
        // entry that is gone by now is simply not listed.
        if (fstatat(folder, found->d_name, &status, 0) != 0 &&
            fstatat(folder, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        entry = MakeListingEntry(found->d_name, status);
        entry.mayBeLink = found->d_type == DT_LNK || found->d_type == DT_UNKNOWN;
        return true;
    }
}
