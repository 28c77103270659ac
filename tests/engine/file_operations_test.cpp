#include "engine/file_operations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "engine/path_mapping.h"
#include "tests/engine/path_tree.h"

namespace {

using namespace path_test;

// home/ holds a file, an empty folder, a folder with a file, and links out
// of home (outside/ is covered by no accessible path) and within it.
class FileOperations : public testing::Test {
protected:
    void SetUp() override {
        tree.Folder("home/sub");
        tree.Folder("home/empty");
        tree.Folder("home/full");
        tree.Folder("home/My Files");
        tree.Folder("outside");
        tree.File("home/file.txt", "file");
        tree.File("home/other.txt", "other");
        tree.File("home/full/inside.txt");
        tree.File("outside/secret.txt", "secret");
        tree.Link("home/to_secret", tree.Path("outside/secret.txt"));
        tree.Link("home/to_outside", tree.Path("outside"));
        tree.Link("home/to_sub", "sub");
        home = tree.Path("home");
        current = home;
    }

    SessionPaths Session(TestAccount& account) { return account.Session(home, current); }

    bool Exists(std::string_view relative) const {
        return std::filesystem::symlink_status(tree.Path(relative)).type() !=
               std::filesystem::file_type::not_found;
    }

    TempTree tree;
    std::string home;
    std::string current;
};

struct FlagCase {
    const char* what;
    uint32_t flag;  // the one flag the operation needs
    std::function<int(const SessionPaths&)> operation;
    std::function<bool(const TempTree&)> done;  // the effect when granted
};

TEST_F(FileOperations, EachOperationNeedsItsFlagAndChangesNothingWithoutIt) {
    namespace fs = std::filesystem;
    const FlagCase cases[] = {
        {"DELE", PERM_FILE_DELETE, [](const SessionPaths& s) { return RemoveFile(s, " file.txt"); },
         [](const TempTree& t) { return !fs::exists(t.Path("home/file.txt")); }},
        {"MKD", PERM_FOLDER_CREATE, [](const SessionPaths& s) { return MakeFolder(s, " new"); },
         [](const TempTree& t) { return fs::is_directory(t.Path("home/new")); }},
        {"RMD", PERM_FOLDER_DELETE, [](const SessionPaths& s) { return RemoveFolder(s, " empty"); },
         [](const TempTree& t) { return !fs::exists(t.Path("home/empty")); }},
        {"RNTO source", PERM_FILE_DELETE,
         [](const SessionPaths& s) { return RenameFile(s, " file.txt", " moved.txt"); },
         [](const TempTree& t) {
             return !fs::exists(t.Path("home/file.txt")) && fs::exists(t.Path("home/moved.txt"));
         }},
        {"RNTO file target", PERM_FILE_WRITE,
         [](const SessionPaths& s) { return RenameFile(s, " file.txt", " sub/moved.txt"); },
         [](const TempTree& t) { return fs::exists(t.Path("home/sub/moved.txt")); }},
        {"RNTO folder target", PERM_FOLDER_CREATE,
         [](const SessionPaths& s) { return RenameFile(s, " full", " sub/full"); },
         [](const TempTree& t) { return fs::exists(t.Path("home/sub/full/inside.txt")); }},
    };
    for (const FlagCase& c : cases) {
        TempTree fresh;
        fresh.Folder("home/sub");
        fresh.Folder("home/empty");
        fresh.Folder("home/full");
        fresh.File("home/file.txt");
        fresh.File("home/full/inside.txt");
        const std::string freshHome = fresh.Path("home");

        TestAccount without;
        without.Allow(freshHome, kAllFlags & ~c.flag);
        const auto before = fresh.Snapshot();
        EXPECT_EQ(c.operation(without.Session(freshHome, freshHome)), 0) << c.what;
        EXPECT_EQ(fresh.Snapshot(), before) << c.what;

        TestAccount with;
        with.Allow(freshHome, kAllFlags);
        EXPECT_EQ(c.operation(with.Session(freshHome, freshHome)), 1) << c.what;
        EXPECT_TRUE(c.done(fresh)) << c.what;
    }
}

TEST_F(FileOperations, FailuresOfTheFileSystemChangeNothing) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    const auto before = tree.Snapshot();
    const SessionPaths s = Session(account);
    EXPECT_EQ(RemoveFile(s, " sub"), 0);            // a folder is not a file
    EXPECT_EQ(RemoveFile(s, " missing.txt"), 0);
    EXPECT_EQ(RemoveFolder(s, " full"), 0);         // not empty
    EXPECT_EQ(RemoveFolder(s, " file.txt"), 0);     // not a folder
    EXPECT_EQ(RemoveFolder(s, " to_sub"), 0);       // a link to a folder is no folder
    EXPECT_EQ(MakeFolder(s, " sub"), 0);            // exists
    EXPECT_EQ(MakeFolder(s, " to_sub"), 0);         // the name exists as a link
    EXPECT_EQ(MakeFolder(s, " missing/new"), 0);
    EXPECT_EQ(RenameFile(s, " file.txt", " other.txt"), 0);  // the target exists
    EXPECT_EQ(RenameFile(s, " file.txt", " sub"), 0);        // as a folder too
    EXPECT_EQ(RenameFile(s, " missing.txt", " new.txt"), 0);
    EXPECT_EQ(RenameFile(s, " sub", " sub/inner"), 0);       // into itself
    EXPECT_EQ(tree.Snapshot(), before);
}

TEST_F(FileOperations, AnEmptyRenameSourceNeverRenamesTheCurrentFolder) {
    TestAccount account;
    account.Allow(tree.Path(""), kAllFlags);
    current = tree.Path("home/sub");
    const auto before = tree.Snapshot();
    for (const char* source : {"", " ", "   "}) {
        EXPECT_EQ(RenameFile(Session(account), source, " /renamed"), 0) << '"' << source << '"';
    }
    EXPECT_EQ(tree.Snapshot(), before);
}

TEST_F(FileOperations, RenameTargetMustLieWhereTheAccountMayWrite) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    account.Allow(tree.Path("home/sub"), PERM_FILE_WRITE);  // files may arrive, folders not
    const auto before = tree.Snapshot();
    const SessionPaths s = Session(account);
    // Into a folder no accessible path covers, by ".." or through a link.
    EXPECT_EQ(RenameFile(s, " file.txt", " ../outside/file.txt"), 0);
    EXPECT_EQ(RenameFile(s, " file.txt", " to_outside/file.txt"), 0);
    EXPECT_EQ(RenameFile(s, " empty", " to_outside/empty"), 0);
    EXPECT_EQ(RenameFile(s, " empty", " sub/empty"), 0);
    // From outside into home: the source is not the account's to move.
    EXPECT_EQ(RenameFile(s, " to_outside/secret.txt", " stolen.txt"), 0);
    EXPECT_EQ(tree.Snapshot(), before);

    EXPECT_EQ(RenameFile(s, " file.txt", " sub/file.txt"), 1);
    EXPECT_TRUE(Exists("home/sub/file.txt"));
}

TEST_F(FileOperations, LinksAreDeletedAndMovedAsNames) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    const SessionPaths s = Session(account);
    EXPECT_EQ(RemoveFile(s, " to_secret"), 1);
    EXPECT_FALSE(Exists("home/to_secret"));
    EXPECT_TRUE(Exists("outside/secret.txt"));

    EXPECT_EQ(RenameFile(s, " to_outside", " sub/moved_link"), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(tree.Path("home/sub/moved_link")));
    EXPECT_TRUE(Exists("outside/secret.txt"));
    // A file deleted through a link to outside stays where it is.
    EXPECT_EQ(RemoveFile(s, " sub/moved_link/secret.txt"), 0);
    EXPECT_TRUE(Exists("outside/secret.txt"));
}

TEST_F(FileOperations, SecondRenameOfTheSameSourceFails) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    const SessionPaths s = Session(account);
    EXPECT_EQ(RenameFile(s, " file.txt", " b.txt"), 1);
    EXPECT_EQ(RenameFile(s, " file.txt", " c.txt"), 0);
    EXPECT_TRUE(Exists("home/b.txt"));
    EXPECT_FALSE(Exists("home/c.txt"));
    EXPECT_EQ(MakeFolder(s, " Other Files"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(tree.Path("home/Other Files")));
}

TEST_F(FileOperations, ChangeFolderKeepsTheWrittenPath) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    account.Allow(tree.Path("home/full"), PERM_FILE_READ);  // no List
    struct Step {
        const char* text;
        int result;
        const char* current;  // relative to the tree, after the step
        const char* shown;    // what PWD shows then
    };
    const Step steps[] = {
        {" sub", 1, "home/sub", "/sub"},
        {"", 1, "home/sub", "/sub"},
        {" ..\\My Files", 1, "home/My Files", "/My Files"},
        {" /to_sub", 1, "home/to_sub", "/to_sub"},  // not replaced by where it leads
        {" /file.txt", 0, "home/to_sub", "/to_sub"},
        {" /missing", 0, "home/to_sub", "/to_sub"},
        {" /full", 0, "home/to_sub", "/to_sub"},
        {" /to_outside", 0, "home/to_sub", "/to_sub"},
        {" ../..", 0, "home/to_sub", "/to_sub"},
        {" /", 1, "home", "/"},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(ChangeFolder(Session(account), step.text, current), step.result) << step.text;
        EXPECT_EQ(current, tree.Path(step.current)) << step.text;
        EXPECT_EQ(ClientPathText(home, current), step.shown) << step.text;
    }
}

TEST_F(FileOperations, ChangeFolderUpFollowsTheWrittenPath) {
    TestAccount account;
    account.Allow(home, kAllFlags);
    current = tree.Path("home/to_sub");
    // The written parent of home/to_sub is home, not the parent of sub.
    ASSERT_EQ(ChangeFolderUp(Session(account), current), 1);
    EXPECT_EQ(current, home);
    // At home, the folder above is covered by no accessible path.
    EXPECT_EQ(ChangeFolderUp(Session(account), current), 0);
    EXPECT_EQ(current, home);

    TestAccount wider;
    wider.Allow(home, kAllFlags);
    wider.Allow(tree.Path(""), PERM_FOLDER_LIST);
    ASSERT_EQ(ChangeFolderUp(Session(wider), current), 1);
    EXPECT_EQ(current, tree.Path(""));
    EXPECT_EQ(ClientPathText(home, current), tree.Path(""));  // above home: the real path
    EXPECT_EQ(ChangeFolder(Session(wider), " home/sub", current), 1);
    EXPECT_EQ(ClientPathText(home, current), "/sub");
    EXPECT_EQ(EnterFolder(Session(wider), tree.Path("home/../home/file.txt"), current), 0);
    EXPECT_EQ(current, tree.Path("home/sub"));
}

TEST_F(FileOperations, ChangeFolderWithinHomeStaysInHomeEvenWhereListed) {
    TestAccount account;
    account.Allow(tree.Path(""), kAllFlags);  // permissions do not hold it back
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " sub", current), 1);
    EXPECT_EQ(current, tree.Path("home/sub"));
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " ../..", current), 0);
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " /to_outside", current), 0);
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " /../outside", current), 0);
    EXPECT_EQ(current, tree.Path("home/sub"));
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " /to_sub", current), 1);
    EXPECT_EQ(current, tree.Path("home/to_sub"));
    // Home itself through a link: the resolved paths are compared resolved.
    tree.Link("home_link", "home");
    home = tree.Path("home_link");
    current = home;
    EXPECT_EQ(ChangeFolderWithinHome(Session(account), " sub", current), 1);
    EXPECT_EQ(current, tree.Path("home_link/sub"));
}

}  // namespace
