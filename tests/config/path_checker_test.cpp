#include "config/path_checker.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> EntryPaths(const PathChecker& checker) {
    std::vector<std::string> paths;
    for (const textnode_s* e = checker.entries.head; e != nullptr; e = e->next) paths.push_back(e->path);
    return paths;
}

struct LookupCase {
    const char* path;
    int32_t expected;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

// /data 0x44 and /data/up 0x66: a path takes the flags of its deepest
// listed ancestor-or-self; parents of listed paths and unrelated paths get
// nothing, and letter case is significant.
class DataTreeLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(DataTreeLookup, GivesTheFlagsOfTheDeepestListedAncestor) {
    PathChecker checker;
    ASSERT_NE(checker.AddPath("/data", 0x44), nullptr);
    ASSERT_NE(checker.AddPath("/data/up", 0x66), nullptr);
    EXPECT_EQ(checker.GetPermissions(GetParam().path), GetParam().expected) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataTreeLookup,
    ::testing::Values(LookupCase{"/data", 0x44}, LookupCase{"/data/x.txt", 0x44},
                      LookupCase{"/data/other/y", 0x44}, LookupCase{"/data/up", 0x66},
                      LookupCase{"/data/up/a/b/c.txt", 0x66}, LookupCase{"/data/upper", 0x44},
                      LookupCase{"/", -1}, LookupCase{"/DATA", -1}, LookupCase{"/Data/up", -1},
                      LookupCase{"/data/UP", 0x44}, LookupCase{"/other/data", -1},
                      LookupCase{"/dat", -1},
                      // Doubled and trailing separators do not matter to lookups.
                      LookupCase{"//data//up/", 0x66},
                      // Not normalised: never matched as text, so ".." cannot
                      // climb out of a listed folder.
                      LookupCase{"/data/../etc/passwd", -1}, LookupCase{"/data/./x", -1},
                      LookupCase{"data/up", -1}, LookupCase{"", -1}));

TEST(PathChecker, ParentOfAListedPathIsNotAccessible) {
    PathChecker checker;
    checker.AddPath("/data/up", 0x66);
    EXPECT_EQ(checker.GetPermissions("/data"), -1);
    EXPECT_EQ(checker.HasPath("/data"), 0);
    EXPECT_EQ(checker.HasPath("/data/up"), 1);
}

TEST(PathChecker, LetterCaseMakesDistinctEntries) {
    PathChecker checker;
    ASSERT_NE(checker.AddPath("/data", 0x44), nullptr);
    ASSERT_NE(checker.AddPath("/DATA", 0x66), nullptr);
    EXPECT_EQ(checker.AddPath("/data", 0x40), nullptr);
    EXPECT_EQ(checker.GetPermissions("/DATA/x"), 0x66);
    EXPECT_EQ(checker.GetPermissions("/data/x"), 0x44);
    EXPECT_EQ(checker.entries.count, 2);
}

TEST(PathChecker, AddingAParentMakesItsNodeAnEntryInInsertionOrder) {
    PathChecker checker;
    checker.AddPath("/data/up", 0x66);
    textnode_s* parent = checker.AddPath("/data", 0x44, 7);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->reserved, 7u);
    EXPECT_EQ(EntryPaths(checker), (std::vector<std::string>{"/data/up", "/data"}));
    EXPECT_EQ(checker.GetPermissions("/data/x.txt"), 0x44);
    EXPECT_EQ(checker.GetPermissions("/data/up/x.txt"), 0x66);
    // One node each: the existing node was reused, not duplicated.
    EXPECT_EQ(checker.root.children.count, 1);
    EXPECT_EQ(checker.root.children.head->children.count, 1);
}

TEST(PathChecker, AddPathNormalisesWhatItStores) {
    PathChecker checker;
    textnode_s* entry = checker.AddPath("//data//up/", 0x66);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->path, "/data/up");
    EXPECT_EQ(checker.AddPath("/data/up", 0x44), nullptr);
    EXPECT_EQ(checker.AddPath("/data/./x/../up", 0x44), nullptr);
    EXPECT_EQ(checker.HasPath("/data/up"), 1);
    EXPECT_STREQ(checker.AddPath("/a/../../b/", 1)->path, "/b");
    // Each ".." of a run drops one more component.
    EXPECT_STREQ(checker.AddPath("/x/y/../../z", 1)->path, "/z");
    EXPECT_STREQ(checker.AddPath("/p/q/r/../..", 1)->path, "/p");
}

TEST(PathChecker, RefusesPathsItCannotStoreFaithfully) {
    PathChecker checker;
    const std::string fits = "/" + std::string(262, 'a');  // 263 characters
    const std::string tooLong = "/" + std::string(263, 'a');
    EXPECT_NE(checker.AddPath(fits, 0x44), nullptr);
    EXPECT_EQ(checker.AddPath(tooLong, 0x44), nullptr);
    EXPECT_EQ(checker.AddPath("/b/" + std::string(300, 'c'), 0x44), nullptr);
    EXPECT_EQ(checker.AddPath("", 0x44), nullptr);
    EXPECT_EQ(checker.AddPath("relative/path", 0x44), nullptr);
    EXPECT_EQ(checker.AddPath(std::string("/da\0ta", 6), 0x44), nullptr);
    EXPECT_EQ(EntryPaths(checker), std::vector<std::string>{fits});
    // A long path that is not listed is simply not found.
    EXPECT_EQ(checker.GetPermissions(tooLong + "/x"), -1);
    EXPECT_EQ(checker.GetPermissions(fits + "/x"), 0x44);
}

TEST(PathChecker, RootEntryCoversEverythingUnlessADeeperEntryApplies) {
    PathChecker checker;
    ASSERT_NE(checker.AddPath("/", 0x44), nullptr);
    EXPECT_EQ(checker.AddPath("//", 0x66), nullptr);
    EXPECT_EQ(checker.GetPermissions("/"), 0x44);
    EXPECT_EQ(checker.GetPermissions("/etc/passwd"), 0x44);
    checker.AddPath("/srv/ftp", 0x66);
    EXPECT_EQ(checker.GetPermissions("/srv/ftp/x"), 0x66);
    EXPECT_EQ(checker.GetPermissions("/srv"), 0x44);
    EXPECT_EQ(checker.SetPermissions("/", 0x40), 0);
    EXPECT_EQ(checker.GetPermissions("/tmp"), 0x40);
    EXPECT_EQ(checker.RemovePath("/"), 0);
    EXPECT_EQ(checker.GetPermissions("/tmp"), -1);
    EXPECT_EQ(checker.GetPermissions("/srv/ftp"), 0x66);
    EXPECT_EQ(checker.RemovePath("/"), 1);
}

TEST(PathChecker, RemovingTheOnlyLeafEmptiesTheTree) {
    PathChecker checker;
    checker.AddPath("/data/up", 0x66);
    EXPECT_EQ(checker.RemovePath("/data/up"), 0);
    EXPECT_EQ(checker.entries.count, 0);
    EXPECT_EQ(checker.entries.head, nullptr);
    EXPECT_EQ(checker.root.children.count, 0);
    EXPECT_EQ(checker.GetPermissions("/data/up"), -1);
}

TEST(PathChecker, RemovingAParentKeepsItsNodeForDeeperEntries) {
    PathChecker checker;
    checker.AddPath("/data", 0x44);
    checker.AddPath("/data/up", 0x66);
    EXPECT_EQ(checker.RemovePath("/data"), 0);
    EXPECT_EQ(checker.GetPermissions("/data/up/z"), 0x66);
    EXPECT_EQ(checker.GetPermissions("/data/x.txt"), -1);
    ASSERT_EQ(checker.root.children.count, 1);
    const node_s* data = checker.root.children.head;
    EXPECT_EQ(data->entry, nullptr);
    EXPECT_EQ(data->flags, 0u);
    EXPECT_EQ(EntryPaths(checker), std::vector<std::string>{"/data/up"});
}

TEST(PathChecker, RemovingALeafCutsOnlyTheBranchThatServedIt) {
    PathChecker checker;
    checker.AddPath("/srv/a/b/c", 0x44);
    checker.AddPath("/srv/x", 0x66);
    checker.AddPath("/srv/a/keep", 0x40);
    EXPECT_EQ(checker.RemovePath("/srv/a/keep"), 0);
    // /srv/a still leads to c; /srv still leads to a and x.
    EXPECT_EQ(checker.GetPermissions("/srv/a/b/c"), 0x44);
    EXPECT_EQ(checker.RemovePath("/srv/a/b/c"), 0);
    ASSERT_EQ(checker.root.children.count, 1);
    const node_s* srv = checker.root.children.head;
    ASSERT_EQ(srv->children.count, 1);
    EXPECT_STREQ(srv->children.head->name, "x");
    EXPECT_EQ(checker.GetPermissions("/srv/x"), 0x66);
}

TEST(PathChecker, RemovingWhatIsNotListedChangesNothing) {
    PathChecker checker;
    checker.AddPath("/data/up", 0x66);
    for (const char* path : {"/data", "/data/up/deeper", "/other", "/DATA/up", "/"}) {
        EXPECT_EQ(checker.RemovePath(path), 1) << path;
    }
    EXPECT_EQ(checker.GetPermissions("/data/up"), 0x66);
    EXPECT_EQ(checker.entries.count, 1);
    EXPECT_EQ(checker.root.children.count, 1);
}

TEST(PathChecker, SetPermissionsChangesOnlyEntries) {
    PathChecker checker;
    textnode_s* up = checker.AddPath("/data/up", 0x66);
    EXPECT_EQ(checker.SetPermissions("/data", 0x7f), 0);  // intermediate: exists, unchanged
    EXPECT_EQ(checker.GetPermissions("/data"), -1);
    EXPECT_EQ(checker.root.children.head->flags, 0u);
    EXPECT_EQ(checker.SetPermissions("/data/missing", 0x44), 1);
    EXPECT_EQ(checker.SetPermissions("/data/up", 0x40), 0);
    EXPECT_EQ(up->flags, 0x40u);
    EXPECT_EQ(checker.GetPermissions("/data/up/f"), 0x40);
}

TEST(PathChecker, ZeroFlagsBelowAnEntryRefuseTheBranch) {
    PathChecker checker;
    checker.AddPath("/data", 0x66);
    checker.AddPath("/data/secret", 0);
    EXPECT_EQ(checker.GetPermissions("/data/secret/file"), 0);
    EXPECT_EQ(checker.GetPermissions("/data/open"), 0x66);
}

TEST(PathChecker, ClearKeepsAUsableRoot) {
    PathChecker checker;
    checker.AddPath("/", 0x44);
    checker.AddPath("/a/b", 0x66);
    checker.Clear();
    EXPECT_EQ(checker.entries.count, 0);
    EXPECT_EQ(checker.root.children.head, nullptr);
    EXPECT_EQ(checker.GetPermissions("/a/b"), -1);
    EXPECT_NE(checker.AddPath("/a", 0x40), nullptr);
    EXPECT_EQ(checker.GetPermissions("/a/b"), 0x40);
}

}  // namespace
