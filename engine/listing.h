// The lines of a folder listing (LIST and NLST) and the enumeration of a
// folder's entries that feeds them. Nothing here touches a socket: the
// session sends each line as it is made, so no listing is held in memory.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include <dirent.h>

// Names longer than this are cut in both kinds of line.
constexpr std::size_t kListingNameLimit = 195;

// One folder entry as a listing shows it.
struct ListingEntry {
    std::string name;
    bool folder = false;
    bool hidden = false;    // the name begins with '.'
    bool readOnly = false;  // the owner's write bit is clear
    std::int64_t size = 0;
    std::time_t modified = 0;  // the modification time, seconds since the epoch
    // st_mode of the entry: its target's for a link, the link's own for a
    // dangling one.
    std::uint32_t mode = 0;
    // The name itself may be a symbolic link (the folder said so, or did
    // not say what it is).
    bool mayBeLink = true;
};

// The entry for name with the status that stat() or lstat() gave for it.
ListingEntry MakeListingEntry(std::string_view name, const struct stat& status);

// The LIST line of entry, CR LF included. Fixed columns: the attributes
// ("drwxr-xr-x" style, with the hidden and read-only marks), link count 1,
// "owner", "group", the whole size right-aligned to column 44, the month,
// day and either HH:MM (same year as now) or the year of the modification
// time in UTC, and the name (cut to kListingNameLimit) from column 59.
// now is the present moment; its local year decides between time and year.
// Any thread.
std::string FormatListLine(const ListingEntry& entry, std::time_t now);

// The NLST line: the name cut to kListingNameLimit, then CR LF. Any thread.
std::string FormatNameLine(std::string_view name);

// The entries of one folder in the order the file system reports them,
// "." and ".." included where it reports them. Entries whose status cannot
// be read (one deleted while the listing runs, say) are skipped; a link is
// described by its target, or by itself when the target is gone.
// An object is used by one thread at a time.
class FolderEnumeration {
public:
    // Opens the folder; IsOpen() tells whether that worked.
    explicit FolderEnumeration(const std::string& folder);
    ~FolderEnumeration();
    FolderEnumeration(const FolderEnumeration&) = delete;
    FolderEnumeration& operator=(const FolderEnumeration&) = delete;

    bool IsOpen() const { return dir_ != nullptr; }
    // The next entry into entry: true, or false at the end (or when the
    // folder is not open, or reading it failed).
    bool Next(ListingEntry& entry);

private:
    DIR* dir_ = nullptr;
};
