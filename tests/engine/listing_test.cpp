#include "engine/listing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// 2024-07-01 12:00:00 UTC: mid-year, so its local year is 2024 in any zone.
constexpr std::time_t kNow = 1719835200;
constexpr std::time_t kJan5At1307 = 1704460020;   // 2024-01-05 13:07 UTC
constexpr std::time_t kDec31At2359 = 1735689540;  // 2024-12-31 23:59 UTC
constexpr std::time_t kNov23Of2019 = 1574496300;  // 2019-11-23 08:05 UTC

ListingEntry Entry(std::string name, bool folder, bool hidden, bool readOnly, std::int64_t size,
                   std::time_t modified) {
    ListingEntry entry;
    entry.name = std::move(name);
    entry.folder = folder;
    entry.hidden = hidden;
    entry.readOnly = readOnly;
    entry.size = size;
    entry.modified = modified;
    return entry;
}

struct ListCase {
    const char* what;
    ListingEntry entry;
    std::string line;
};

TEST(FormatListLine, WritesEveryFieldAtItsColumn) {
    const std::string longName(200, 'n');
    const ListCase cases[] = {
        {"plain file, this year", Entry("readme.txt", false, false, false, 1234, kJan5At1307),
         "-r-xr-xrwx   1 owner    group            1234 Jan  5 13:07 readme.txt"},
        {"earlier year shows the year",
         Entry("readme.txt", false, false, false, 1234, kNov23Of2019),
         "-r-xr-xrwx   1 owner    group            1234 Nov 23  2019 readme.txt"},
        {"last minute of the year, UTC", Entry("late", false, false, false, 0, kDec31At2359),
         "-r-xr-xrwx   1 owner    group               0 Dec 31 23:59 late"},
        {"folder", Entry("docs", true, false, false, 4096, kJan5At1307),
         "dr-xr-xrwx   1 owner    group            4096 Jan  5 13:07 docs"},
        {"read-only file", Entry("fixed", false, false, true, 7, kJan5At1307),
         "-r-xr-xr-x   1 owner    group               7 Jan  5 13:07 fixed"},
        {"hidden file", Entry(".profile", false, true, false, 7, kJan5At1307),
         "-r-xr-x-w-   1 owner    group               7 Jan  5 13:07 .profile"},
        {"hidden read-only folder", Entry("..", true, true, true, 4096, kNov23Of2019),
         "dr-xr-x---   1 owner    group            4096 Nov 23  2019 .."},
        {"5 GiB shown whole", Entry("big.iso", false, false, false, 5368709120LL, kJan5At1307),
         "-r-xr-xrwx   1 owner    group      5368709120 Jan  5 13:07 big.iso"},
        {"2 GiB is not negative", Entry("two", false, false, false, 2147483648LL, kJan5At1307),
         "-r-xr-xrwx   1 owner    group      2147483648 Jan  5 13:07 two"},
        {"widest size keeps a blank after group",
         Entry("huge", false, false, false, 1234567890123456789LL, kJan5At1307),
         "-r-xr-xrwx   1 owner    group 1234567890123456789 Jan  5 13:07 huge"},
        {"200-character name cut at 195", Entry(longName, false, false, false, 1, kJan5At1307),
         "-r-xr-xrwx   1 owner    group               1 Jan  5 13:07 " + longName.substr(0, 195)},
    };
    for (const ListCase& c : cases) {
        EXPECT_EQ(FormatListLine(c.entry, kNow), c.line + "\r\n") << c.what;
    }
}

TEST(FormatNameLine, IsTheNameCutAt195ThenCrLf) {
    EXPECT_EQ(FormatNameLine("readme.txt"), "readme.txt\r\n");
    EXPECT_EQ(FormatNameLine(".."), "..\r\n");
    const std::string name200(200, 'x');
    EXPECT_EQ(FormatNameLine(name200), std::string(195, 'x') + "\r\n");
}

TEST(MakeListingEntry, TakesTheMarksFromNameAndMode) {
    struct Case {
        const char* name;
        mode_t mode;
        bool folder, hidden, readOnly;
    } const cases[] = {
        {"file", S_IFREG | 0644, false, false, false},
        {"fixed", S_IFREG | 0444, false, false, true},
        {"writeonly", S_IFREG | 0200, false, false, false},
        {"group-writable", S_IFREG | 0464, false, false, true},
        {".hidden", S_IFREG | 0600, false, true, false},
        {"dir", S_IFDIR | 0755, true, false, false},
        {".", S_IFDIR | 0555, true, true, true},
    };
    for (const Case& c : cases) {
        struct stat status {};
        status.st_mode = c.mode;
        status.st_size = 6000000000LL;
        status.st_mtime = kJan5At1307;
        ListingEntry entry = MakeListingEntry(c.name, status);
        EXPECT_EQ(entry.name, c.name);
        EXPECT_EQ(entry.folder, c.folder) << c.name;
        EXPECT_EQ(entry.hidden, c.hidden) << c.name;
        EXPECT_EQ(entry.readOnly, c.readOnly) << c.name;
        EXPECT_EQ(entry.size, 6000000000LL);
        EXPECT_EQ(entry.modified, kJan5At1307);
    }
}

class Enumeration : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("tarnhold-listing-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    void MakeFile(const std::string& name, std::size_t size) {
        std::ofstream(folder / name, std::ios::binary) << std::string(size, 'z');
    }
    // The names in the order readdir gives them.
    std::vector<std::string> ReaddirOrder() const {
        std::vector<std::string> names;
        DIR* dir = opendir(folder.c_str());
        while (const dirent* e = readdir(dir)) names.emplace_back(e->d_name);
        closedir(dir);
        return names;
    }

    fs::path folder;
};

TEST_F(Enumeration, YieldsEveryEntryInReaddirOrderWithItsStatus) {
    MakeFile("data.bin", 1500);
    MakeFile(".hidden", 3);
    MakeFile("fixed", 1);
    fs::permissions(folder / "fixed", fs::perms::owner_read | fs::perms::group_read);
    fs::create_directory(folder / "sub");
    fs::create_symlink(folder / "sub", folder / "link-to-sub");
    fs::create_symlink(folder / "gone", folder / "dangling");

    FolderEnumeration listing(folder.string());
    ASSERT_TRUE(listing.IsOpen());
    std::vector<std::string> order;
    std::map<std::string, ListingEntry> byName;
    ListingEntry entry;
    while (listing.Next(entry)) {
        order.push_back(entry.name);
        byName[entry.name] = entry;
    }
    EXPECT_EQ(order, ReaddirOrder());
    ASSERT_EQ(byName.size(), 8u) << ". and .. are listed too";

    EXPECT_TRUE(byName["."].folder);
    EXPECT_TRUE(byName["."].hidden);
    EXPECT_TRUE(byName[".."].folder);
    EXPECT_EQ(byName["data.bin"].size, 1500);
    EXPECT_FALSE(byName["data.bin"].folder);
    EXPECT_FALSE(byName["data.bin"].readOnly);
    EXPECT_TRUE(byName[".hidden"].hidden);
    EXPECT_TRUE(byName["fixed"].readOnly);
    EXPECT_TRUE(byName["sub"].folder);
    EXPECT_TRUE(byName["link-to-sub"].folder) << "a link is described by its target";
    EXPECT_FALSE(byName["dangling"].folder) << "a dangling link is listed as itself";
    struct stat status {};
    ASSERT_EQ(stat((folder / "data.bin").c_str(), &status), 0);
    EXPECT_EQ(byName["data.bin"].modified, status.st_mtime);
}

TEST_F(Enumeration, SkipsEntriesThatVanishWhileTheListingRuns) {
    for (int i = 0; i < 50; ++i) MakeFile("f" + std::to_string(i), 10);
    FolderEnumeration listing(folder.string());
    ASSERT_TRUE(listing.IsOpen());
    ListingEntry entry;
    ASSERT_TRUE(listing.Next(entry));
    for (int i = 0; i < 50; ++i) fs::remove(folder / ("f" + std::to_string(i)));

    // The names already read from the folder are still handed out by
    // readdir; those whose files are gone must not appear.
    while (listing.Next(entry)) {
        EXPECT_TRUE(entry.name == "." || entry.name == "..")
            << entry.name << " was deleted before it was listed";
    }
}

TEST_F(Enumeration, AFolderThatCannotBeOpenedIsNotOpen) {
    MakeFile("plain", 1);
    for (const fs::path& path : {folder / "missing", folder / "plain"}) {
        FolderEnumeration listing(path.string());
        EXPECT_FALSE(listing.IsOpen()) << path;
        ListingEntry entry;
        EXPECT_FALSE(listing.Next(entry));
    }
}

}  // namespace
