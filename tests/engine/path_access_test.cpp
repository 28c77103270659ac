#include "engine/path_access.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/listing.h"
#include "engine/path_mapping.h"
#include "tests/engine/path_tree.h"

namespace {

using namespace path_test;
using namespace std::string_literals;

struct AccessCase {
    const char* text;
    uint32_t flags;
    ResolveMode mode;
    const char* real;  // relative to the tree, or "refused"
};

// home/ is listed with every flag and home/ro/ with read and list only;
// outside/ is covered by no accessible path. The links in home/ lead out of
// it, into its stricter part, to nowhere and in a loop.
class PathAccess : public testing::Test {
protected:
    void SetUp() override {
        tree.Folder("home/sub");
        tree.Folder("home/ro");
        tree.Folder("outside");
        tree.File("home/file.txt");
        tree.File("outside/secret.txt");
        tree.Link("home/to_secret", tree.Path("outside/secret.txt"));
        tree.Link("home/to_outside", "../outside");
        tree.Link("home/to_sub", "sub");
        tree.Link("home/to_ro", tree.Path("home/ro"));
        tree.Link("home/dangling", tree.Path("nowhere"));
        tree.Link("home/loop_a", "loop_b");
        tree.Link("home/loop_b", "loop_a");
        home = tree.Path("home");
        account.Allow(home, kAllFlags);
        account.Allow(tree.Path("home/ro"), PERM_FILE_READ | PERM_FOLDER_LIST);
    }

    // The outcome of one check from home/sub: the real path, or "refused".
    std::string Check(std::string_view text, uint32_t flags, ResolveMode mode) {
        const std::string current = tree.Path("home/sub");
        AccessedPath out;
        if (!AccessClientPath(account.Session(home, current), text, flags, mode, out)) {
            return "refused";
        }
        return out.real;
    }

    template <std::size_t N>
    void ExpectCases(const AccessCase (&cases)[N]) {
        for (const AccessCase& c : cases) {
            const std::string expected = c.real == "refused"s ? c.real : tree.Path(c.real);
            EXPECT_EQ(Check(c.text, c.flags, c.mode), expected)
                << c.text << (c.mode == ResolveMode::Follow ? " (follow)" : " (parent)");
        }
    }

    TempTree tree;
    TestAccount account;
    std::string home;
};

TEST_F(PathAccess, GrantsPathsInsideAndResolvesNewNamesThroughTheirParent) {
    const AccessCase cases[] = {
        {"/file.txt", PERM_FILE_READ, ResolveMode::Follow, "home/file.txt"},
        {"../file.txt", PERM_FILE_READ, ResolveMode::Follow, "home/file.txt"},
        {"..\\.\\sub\\\\", PERM_FOLDER_LIST, ResolveMode::Follow, "home/sub"},
        {"new.txt", PERM_FILE_WRITE, ResolveMode::Follow, "home/sub/new.txt"},
        {"/ro/new.txt", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        {"/ro", PERM_FOLDER_LIST, ResolveMode::Follow, "home/ro"},
        {"missing/new.txt", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        {"missing/new", PERM_FOLDER_CREATE, ResolveMode::Parent, "refused"},
        {"/newdir", PERM_FOLDER_CREATE, ResolveMode::Parent, "home/newdir"},
        {"/file.txt/x", PERM_FILE_READ, ResolveMode::Follow, "refused"},
    };
    ExpectCases(cases);
}

TEST_F(PathAccess, DotDotChainsAndMixedSeparatorsCannotLeaveTheListedPaths) {
    const AccessCase cases[] = {
        {"../../outside/secret.txt", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"..\\..\\outside\\secret.txt", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/..//\\../outside/secret.txt", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/../../../../../..", PERM_FOLDER_LIST, ResolveMode::Follow, "refused"},
        {"..", PERM_FOLDER_LIST, ResolveMode::Follow, "home"},
        {"../..", PERM_FOLDER_LIST, ResolveMode::Follow, "refused"},
        {"../../outside/secret.txt", PERM_FILE_DELETE, ResolveMode::Parent, "refused"},
    };
    ExpectCases(cases);
}

TEST_F(PathAccess, LinksAreJudgedByWhereTheyLead) {
    const AccessCase cases[] = {
        // Out of every accessible path: refused whatever the written path says.
        {"/to_secret", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/to_outside", PERM_FOLDER_LIST, ResolveMode::Follow, "refused"},
        {"/to_outside/secret.txt", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/to_outside/new.txt", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        {"/to_outside/secret.txt", PERM_FILE_DELETE, ResolveMode::Parent, "refused"},
        {"/to_outside/newdir", PERM_FOLDER_CREATE, ResolveMode::Parent, "refused"},
        // Into the stricter part of home: its own flags apply.
        {"/to_ro", PERM_FOLDER_LIST, ResolveMode::Follow, "home/ro"},
        {"/to_ro/new.txt", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        // Within the same accessible path.
        {"/to_sub", PERM_FOLDER_LIST, ResolveMode::Follow, "home/sub"},
        // Nowhere, or in a loop: nothing to follow.
        {"/dangling", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/dangling", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        {"/loop_a", PERM_FILE_READ, ResolveMode::Follow, "refused"},
        {"/loop_a/x", PERM_FILE_WRITE, ResolveMode::Follow, "refused"},
        // Acting on the name itself: the link is inside home.
        {"/to_secret", PERM_FILE_DELETE, ResolveMode::Parent, "home/to_secret"},
        {"/to_outside", PERM_FILE_DELETE, ResolveMode::Parent, "home/to_outside"},
        {"/dangling", PERM_FILE_DELETE, ResolveMode::Parent, "home/dangling"},
        {"/loop_a", PERM_FILE_DELETE, ResolveMode::Parent, "home/loop_a"},
    };
    ExpectCases(cases);
}

TEST_F(PathAccess, BothTheWrittenAndTheResolvedPathMustGrant) {
    // Only home/sub is listed: home/to_sub resolves into it, but as written
    // it lies in no accessible path.
    TestAccount subOnly;
    subOnly.Allow(tree.Path("home/sub"), kAllFlags);
    AccessedPath out;
    const std::string sub = tree.Path("home/sub");
    EXPECT_TRUE(AccessClientPath(subOnly.Session(sub, sub), "/", PERM_FOLDER_LIST,
                                 ResolveMode::Follow, out));
    EXPECT_FALSE(AccessClientPath(subOnly.Session(home, home), "to_sub", PERM_FOLDER_LIST,
                                  ResolveMode::Follow, out));
    // A listed link covers both the name and where it leads.
    TestAccount linkListed;
    linkListed.Allow(tree.Path("home/to_outside"), PERM_FILE_READ | PERM_FILE_DELETE);
    ASSERT_TRUE(AccessClientPath(linkListed.Session(home, home), "to_outside/secret.txt",
                                 PERM_FILE_READ, ResolveMode::Follow, out));
    EXPECT_EQ(out.written, tree.Path("home/to_outside/secret.txt"));
    EXPECT_EQ(out.real, tree.Path("outside/secret.txt"));
    EXPECT_TRUE(AccessClientPath(linkListed.Session(home, home), "to_outside", PERM_FILE_DELETE,
                                 ResolveMode::Parent, out));
    EXPECT_EQ(out.real, tree.Path("home/to_outside"));
}

TEST_F(PathAccess, AnAccessiblePathThroughALinkWorksAsConfigured) {
    // srv links to data/srv; the account lists srv/ftp, its home.
    tree.Folder("data/srv/ftp/inner");
    tree.Link("srv", "data/srv");
    const std::string ftp = tree.Path("srv/ftp");
    TestAccount viaLink;
    viaLink.Allow(ftp, PERM_FOLDER_LIST | PERM_FOLDER_CREATE);
    AccessedPath out;
    ASSERT_TRUE(AccessClientPath(viaLink.Session(ftp, ftp), "inner", PERM_FOLDER_LIST,
                                 ResolveMode::Follow, out));
    EXPECT_EQ(out.written, tree.Path("srv/ftp/inner"));
    EXPECT_EQ(out.real, tree.Path("data/srv/ftp/inner"));
    ASSERT_TRUE(AccessClientPath(viaLink.Session(ftp, ftp), "/inner/new", PERM_FOLDER_CREATE,
                                 ResolveMode::Parent, out));
    EXPECT_EQ(out.real, tree.Path("data/srv/ftp/inner/new"));
    EXPECT_FALSE(AccessClientPath(viaLink.Session(ftp, ftp), "..", PERM_FOLDER_LIST,
                                  ResolveMode::Follow, out));

    // Listing the real folder instead grants nothing to the linked name.
    TestAccount realOnly;
    realOnly.Allow(tree.Path("data/srv/ftp"), PERM_FOLDER_LIST);
    EXPECT_FALSE(AccessClientPath(realOnly.Session(ftp, ftp), "inner", PERM_FOLDER_LIST,
                                  ResolveMode::Follow, out));

    // Listed under both names: each name keeps its own flags, whichever
    // was listed first.
    const std::string real = tree.Path("data/srv/ftp");
    TestAccount both;
    both.Allow(ftp, PERM_FOLDER_LIST);
    both.Allow(real, PERM_FOLDER_LIST | PERM_FOLDER_CREATE);
    EXPECT_TRUE(AccessClientPath(both.Session(real, real), "new", PERM_FOLDER_CREATE,
                                 ResolveMode::Parent, out));
    EXPECT_FALSE(AccessClientPath(both.Session(ftp, ftp), "new", PERM_FOLDER_CREATE,
                                  ResolveMode::Parent, out));
}

TEST_F(PathAccess, RefusesWhatCannotBeCheckedSoundly) {
    AccessedPath out;
    const SessionPaths session = account.Session(home, home);
    EXPECT_FALSE(AccessClientPath(session, "file.txt\0/../ro"s, PERM_FILE_READ,
                                  ResolveMode::Follow, out));
    EXPECT_FALSE(AccessRealPath(session, tree.Path("home/file.txt\0x"s), PERM_FILE_READ,
                                ResolveMode::Follow, out));
    EXPECT_FALSE(AccessClientPath(session, "file.txt", 0, ResolveMode::Follow, out));
    // Every bit asked for is needed.
    EXPECT_FALSE(AccessClientPath(session, "/ro", PERM_FOLDER_LIST | PERM_FOLDER_CREATE,
                                  ResolveMode::Follow, out));
    EXPECT_FALSE(AccessClientPath(SessionPaths{session.store, nullptr, home, home}, "file.txt",
                                  PERM_FILE_READ, ResolveMode::Follow, out));
    // A name too long for the file system fails there, not by being cut.
    EXPECT_FALSE(AccessClientPath(session, std::string(4000, 'n'), PERM_FILE_WRITE,
                                  ResolveMode::Follow, out));

    // "/" listed covers everything, but has no last name to act on.
    TestAccount everything;
    everything.Allow("/", kAllFlags);
    EXPECT_TRUE(AccessRealPath(everything.Session("/", "/"), tree.Path("outside/secret.txt"),
                               PERM_FILE_READ, ResolveMode::Follow, out));
    EXPECT_TRUE(AccessRealPath(everything.Session("/", "/"), "/", PERM_FOLDER_LIST,
                               ResolveMode::Follow, out));
    EXPECT_FALSE(AccessRealPath(everything.Session("/", "/"), "/", PERM_FOLDER_DELETE,
                                ResolveMode::Parent, out));
}

}  // namespace

namespace {

// The snapshot answers many questions from one copy of the grants; each
// answer must be the door's own, bit for bit, for links in and out of the
// accessible paths, dangling ones and loops included.
TEST_F(PathAccess, GrantSnapshotAnswersAsTheDoorDoes) {
    GrantSnapshot grants;
    const std::string current = tree.Path("home/sub");
    ASSERT_TRUE(grants.Take(account.Session(home, current)));
    const char* const names[] = {"home",        "home/file.txt", "home/sub",      "home/ro",
                                 "home/ro/new", "home/to_secret", "home/to_outside",
                                 "home/to_sub", "home/to_ro",    "home/dangling", "home/loop_a",
                                 "home/new",    "outside",       "outside/secret.txt", ""};
    for (const char* name : names) {
        const std::string written = name[0] == '\0' ? "/" : tree.Path(name);
        for (ResolveMode mode : {ResolveMode::Follow, ResolveMode::Parent}) {
            const int32_t flags = grants.Flags(written, mode);
            for (uint32_t bit = 1; bit <= PERM_FILE_READ; bit <<= 1) {
                AccessedPath out;
                const bool door =
                    AccessRealPath(account.Session(home, current), written, bit, mode, out);
                EXPECT_EQ(flags != -1 && (static_cast<uint32_t>(flags) & bit) != 0, door)
                    << written << " bit " << bit
                    << (mode == ResolveMode::Follow ? " (follow)" : " (parent)");
            }
        }
    }
}

}  // namespace

namespace {

// A listing asks for the flags of every entry: one that is no link is
// answered from its folder's resolved path, and that answer must be what
// Flags gives in either mode, also in a folder reached through a link.
TEST_F(PathAccess, EntryFlagsOfAListedFolderAnswerAsFlagsDo) {
    tree.File("home/sub/a.txt");
    tree.Folder("home/sub/deeper");
    tree.File("home/ro/b.txt");
    GrantSnapshot grants;
    const std::string current = tree.Path("home/sub");
    ASSERT_TRUE(grants.Take(account.Session(home, current)));
    int checked = 0;
    for (const char* name : {"home", "home/sub", "home/ro", "home/to_sub", "home/to_ro"}) {
        const std::string folder = tree.Path(name);
        AccessedPath listed;
        ASSERT_TRUE(AccessRealPath(account.Session(home, current), folder, PERM_FOLDER_LIST,
                                   ResolveMode::Follow, listed))
            << name;
        FolderEnumeration entries(listed.real);
        ListingEntry entry;
        while (entries.Next(entry)) {
            if (entry.name == "." || entry.name == "..") continue;
            const std::string written = folder + "/" + entry.name;
            if (entry.name.starts_with("to_") || entry.name == "dangling" ||
                entry.name.starts_with("loop_")) {
                EXPECT_TRUE(entry.mayBeLink) << written;
                continue;
            }
            if (entry.mayBeLink) continue;  // a file system that does not tell
            ++checked;
            const int32_t flags = grants.EntryFlags(written, listed.real);
            EXPECT_EQ(flags, grants.Flags(written, ResolveMode::Follow)) << written;
            EXPECT_EQ(flags, grants.Flags(written, ResolveMode::Parent)) << written;
        }
    }
    EXPECT_GT(checked, 0);
}

}  // namespace

namespace {

// A download's check opens the file itself when no name on the path is a
// link. Its verdict and real path must be the door's own for every path,
// links and grants through links included, and the descriptor it hands
// out must be the file at that real path, never one it refused.
TEST_F(PathAccess, AFileOpenedByTheCheckIsWhatTheDoorGrants) {
    tree.File("home/sub/a.txt");
    tree.File("home/ro/b.txt");
    tree.Folder("data/srv/ftp");
    tree.File("data/srv/ftp/c.txt");
    tree.Link("srv", "data/srv");
    // A listed link that leads into home with less than home grants: a
    // path with no link of its own is refused by what the link's grant
    // covers once resolved.
    TestAccount linkNarrows;
    linkNarrows.Allow(home, kAllFlags);
    linkNarrows.Allow(tree.Path("home/to_ro"), PERM_FOLDER_LIST);
    TestAccount viaLink;
    viaLink.Allow(tree.Path("srv/ftp"), PERM_FILE_READ);
    struct Who {
        TestAccount& account;
        std::string home;
    };
    const Who accounts[] = {{account, home}, {linkNarrows, home}, {viaLink, tree.Path("srv/ftp")}};
    const char* const paths[] = {"/file.txt",   "/sub/a.txt",  "/ro/b.txt",     "/to_sub/a.txt",
                                 "/to_secret",  "/to_outside/secret.txt",        "/dangling",
                                 "/loop_a",     "/missing.txt", "/sub",         "/c.txt",
                                 "../../outside/secret.txt"};
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    int opened = 0;
    for (const Who& who : accounts) {
        const SessionPaths session = who.account.Session(who.home, who.home);
        for (const char* path : paths) {
            AccessedPath door;
            const bool granted =
                AccessClientPath(session, path, PERM_FILE_READ, ResolveMode::Follow, door);
            AccessedPath file;
            int fd = -1;
            EXPECT_EQ(AccessClientFile(session, path, PERM_FILE_READ, flags, file, fd), granted)
                << who.home << " " << path;
            if (!granted) {
                EXPECT_EQ(fd, -1) << path;
                continue;
            }
            EXPECT_EQ(file.real, door.real) << path;
            if (fd < 0) continue;
            ++opened;
            EXPECT_EQ(file.real, file.written) << path;
            struct stat byDescriptor {}, byPath {};
            ASSERT_EQ(fstat(fd, &byDescriptor), 0);
            ASSERT_EQ(stat(door.real.c_str(), &byPath), 0);
            EXPECT_EQ(byDescriptor.st_ino, byPath.st_ino) << path;
            close(fd);
        }
    }
    // Unless openat2() is unavailable here, the paths without links were
    // opened by the check.
    AccessedPath probe;
    int fd = -1;
    ASSERT_TRUE(AccessClientFile(account.Session(home, home), "/file.txt", PERM_FILE_READ, flags,
                                 probe, fd));
    if (fd >= 0) {
        close(fd);
        EXPECT_GE(opened, 4);
    }
}

}  // namespace

namespace {

// What the system's realpath() makes of a path, with the door's rule for a
// name that does not exist yet (through its parent, unless it is a link).
std::string SystemResolution(const std::string& path, ResolveMode mode) {
    const std::size_t cut = path.rfind('/');
    const std::string folder = cut == 0 ? "/" : path.substr(0, cut);
    auto resolved = [](const std::string& p) -> std::string {
        char* real = realpath(p.c_str(), nullptr);
        if (real == nullptr) return "";
        std::string text(real);
        std::free(real);
        return text;
    };
    auto joined = [&](const std::string& real) {
        return real.empty() ? "" : (real == "/" ? "" : real) + path.substr(cut);
    };
    if (mode == ResolveMode::Parent) return path == "/" ? "" : joined(resolved(folder));
    const std::string whole = resolved(path);
    if (!whole.empty() || errno != ENOENT) return whole;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 || errno != ENOENT) return "";
    return joined(resolved(folder));
}

// The resolver walks one name at a time instead of calling realpath() on
// the whole path: it must land where realpath() does, with links anywhere
// on the way, relative targets that climb, chains, loops and dead ends.
TEST_F(PathAccess, ResolvesEveryPathAsRealpathDoes) {
    tree.Folder("a/b/c");
    tree.File("a/b/c/f");
    tree.Link("a/up", "../a/b");               // climbs, then descends
    tree.Link("a/chain", "up");                // a link to a link
    tree.Link("a/b/abs", tree.Path("a/b/c"));  // absolute target
    tree.Link("a/b/self_loop", "self_loop");
    tree.Link("a/b/gone", "missing/deeper");
    // Deeper than the folders one check keeps, with a link at the bottom.
    std::string deep = "a";
    for (int i = 0; i < 80; ++i) deep += "/d";
    tree.Folder(deep);
    tree.Link(deep + "/up", tree.Path("a/b"));
    const std::string deepNames[] = {deep, deep + "/up/c/f", deep + "/new"};
    const char* const names[] = {
        "a",           "a/b/c/f",       "a/up",         "a/up/c/f",       "a/chain/c/f",
        "a/chain/abs/f", "a/up/abs/new", "a/b/c/f/x",   "a/b/missing/x",  "a/b/gone",
        "a/b/gone/x",  "a/b/self_loop", "a/b/self_loop/x", "a/up/../new",  "a/chain/new",
        "home/to_outside/secret.txt", "home/to_sub", "home/dangling", "home/loop_b"};
    std::vector<std::string> all(std::begin(names), std::end(names));
    all.insert(all.end(), std::begin(deepNames), std::end(deepNames));
    for (const std::string& name : all) {
        std::string path = tree.Path(name);
        ResolveDotDot(path);
        for (ResolveMode mode : {ResolveMode::Follow, ResolveMode::Parent}) {
            std::string real;
            const bool resolved = ResolveRealPath(path, mode, real);
            const std::string expected = SystemResolution(path, mode);
            EXPECT_EQ(resolved ? real : "", expected)
                << name << (mode == ResolveMode::Follow ? " (follow)" : " (parent)");
        }
    }
    std::string real;
    EXPECT_TRUE(ResolveRealPath("/", ResolveMode::Follow, real));
    EXPECT_EQ(real, "/");
    EXPECT_FALSE(ResolveRealPath("/", ResolveMode::Parent, real));
}

}  // namespace
