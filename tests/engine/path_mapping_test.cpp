#include "engine/path_mapping.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(NormalisePath, DropsOuterSeparatorsAndCollapsesBothKinds) {
    const TextCase cases[] = {
        {" /pub//files/", "pub/files"},
        {"/", ""},
        {"", ""},
        {"   ", ""},
        {"\\pub\\\\files\\", "pub/files"},
        {"a\\/b//\\c", "a/b/c"},
        {"  sub", "sub"},
        {"/ x", " x"},  // a space after a separator belongs to the name
        {"My Files/", "My Files"},
        {"a/./b/..", "a/./b/.."},  // dots are left to ResolveDotDot
        {"a\x01b\tc\x7f", "a\x01b\tc\x7f"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(NormalisePath(c.input), c.expected) << c.input;
}

TEST(ResolveDotDot, ResolvesDotsAsTextAndKeepsOneLeadingSlash) {
    const TextCase cases[] = {
        {"/ftp/home/sub/..", "/ftp/home"},
        {"/a/../../b", "/b"},
        {"/..", "/"},
        {"/a/b/../../..", "/"},
        {"/a/./b/.", "/a/b"},
        {"//a///b//", "/a/b"},
        {"/a/..b/b../.../.x", "/a/..b/b../.../.x"},  // only whole components count
        {"/a\\..\\b", "/a\\..\\b"},                  // '\' is part of a real name
        {"", "/"},
        {"a/b", "/a/b"},
        {"/", "/"},
    };
    for (const TextCase& c : cases) {
        std::string path = c.input;
        ResolveDotDot(path);
        EXPECT_EQ(path, c.expected) << c.input;
    }
}

TEST(MapPath, MapsAbsoluteUnderHomeAndRelativeUnderTheCurrentFolder) {
    const std::string home = "/ftp/home";
    const std::string current = "/ftp/home/sub";
    const TextCase cases[] = {
        {"", "/ftp/home/sub"},
        {"   ", "/ftp/home/sub"},
        {"/", "/ftp/home"},
        {" //", "/ftp/home"},
        {" file.txt", "/ftp/home/sub/file.txt"},
        {"/pub//files/", "/ftp/home/pub/files"},
        {"\\pub\\files", "/ftp/home/pub/files"},
        {" /pub\\/files\\", "/ftp/home/pub/files"},
        {"..", "/ftp/home"},
        {"../..", "/ftp"},
        {"..\\..\\..\\etc", "/etc"},
        {"/../../../../..", "/"},
        {"/a\\..\\b", "/ftp/home/b"},
        {"/C:/data", "/ftp/home/C:/data"},
        {"My Files", "/ftp/home/sub/My Files"},
        {"a/./b/.", "/ftp/home/sub/a/b"},
        {"x..y", "/ftp/home/sub/x..y"},
        {"\x01name\x1b", "/ftp/home/sub/\x01name\x1b"},
    };
    for (const TextCase& c : cases) {
        std::string out;
        ASSERT_TRUE(MapPath(home, current, c.input, out)) << c.input;
        EXPECT_EQ(out, c.expected) << c.input;
    }
}

TEST(MapPath, NormalisesTheFoldersItStartsFrom) {
    std::string out;
    ASSERT_TRUE(MapPath("/ftp/home/", "/ftp//home/./sub/", "x", out));
    EXPECT_EQ(out, "/ftp/home/sub/x");
    ASSERT_TRUE(MapPath("/ftp/home/", "/ftp/home/sub", "/x", out));
    EXPECT_EQ(out, "/ftp/home/x");
    // An account without a home folder starts at the root.
    ASSERT_TRUE(MapPath("", "", "/pub", out));
    EXPECT_EQ(out, "/pub");
}

TEST(MapPath, FailsRatherThanCutOrTruncateAPath) {
    const std::string home = "/h";
    std::string out;
    // A NUL would end the path early at the system call.
    EXPECT_FALSE(MapPath(home, home, "secret\0.txt"s, out));
    EXPECT_FALSE(MapPath("/h\0x"s, home, "/a", out));
    EXPECT_FALSE(MapPath(home, "/h\0x"s, "a", out));

    // A name of 4,000 characters fits; the limit is the whole path.
    const std::string longName(4000, 'n');
    ASSERT_TRUE(MapPath(home, home, longName, out));
    EXPECT_EQ(out, "/h/" + longName);

    const std::size_t room = kRealPathSize - 1 - std::string("/h/").size();
    ASSERT_TRUE(MapPath(home, home, std::string(room, 'x'), out));
    EXPECT_EQ(out.size(), kRealPathSize - 1);
    EXPECT_FALSE(MapPath(home, home, std::string(room + 1, 'x'), out));

    const std::string deepHome = "/" + std::string(kRealPathSize - 4, 'd');
    EXPECT_FALSE(MapPath(deepHome, deepHome, "/abc", out));
    // What ".." removes does not count against the limit.
    ASSERT_TRUE(MapPath(deepHome, deepHome, "/abc/../..", out));
    EXPECT_EQ(out, "/");
}

struct ShownCase {
    std::string home;
    std::string current;
    std::string shown;
};

TEST(ClientPathText, RemovesHomeOnlyAtAComponentBoundary) {
    const ShownCase cases[] = {
        {"/srv/a", "/srv/a", "/"},
        {"/srv/a/", "/srv/a", "/"},
        {"/srv/a", "/srv/a/b/c", "/b/c"},
        {"/srv/a", "/srv/ab/c", "/srv/ab/c"},
        {"/srv/a", "/srv/ab", "/srv/ab"},
        {"/srv/a", "/srv", "/srv"},  // above home: the real path
        {"/srv/a", "/", "/"},
        {"/srv/a", "/other", "/other"},
        {"/", "/", "/"},
        {"/", "/x/y", "/x/y"},
        {"/srv/a", "/srv/a/My Files", "/My Files"},
    };
    for (const ShownCase& c : cases) {
        EXPECT_EQ(ClientPathText(c.home, c.current), c.shown) << c.home << " | " << c.current;
    }
}

TEST(ParentFolder, CutsTheLastComponentAndStopsAtTheRoot) {
    EXPECT_EQ(ParentFolder("/srv/a/b"), "/srv/a");
    EXPECT_EQ(ParentFolder("/srv"), "/");
    EXPECT_EQ(ParentFolder("/"), "/");
    EXPECT_EQ(ParentFolder("/srv/a/"), "/srv");
}

TEST(IsAtOrBelow, ComparesWholeComponents) {
    EXPECT_TRUE(IsAtOrBelow("/srv/a", "/srv/a"));
    EXPECT_TRUE(IsAtOrBelow("/srv/a", "/srv/a/b"));
    EXPECT_FALSE(IsAtOrBelow("/srv/a", "/srv/ab"));
    EXPECT_FALSE(IsAtOrBelow("/srv/a", "/srv"));
    EXPECT_FALSE(IsAtOrBelow("/srv/a", "/SRV/a"));
    EXPECT_TRUE(IsAtOrBelow("/", "/anything"));
}

TEST(JoinPath, JoinsWithoutEverSteppingUp) {
    std::string out;
    ASSERT_TRUE(JoinPath("/h", "/h/c", "x/y", out));
    EXPECT_EQ(out, "/h/c/x/y");
    ASSERT_TRUE(JoinPath("/h", "/h/c", "  \\x", out));
    EXPECT_EQ(out, "/h/x");
    ASSERT_TRUE(JoinPath("/h", "/h/c", "", out));
    EXPECT_EQ(out, "/h/c");
    for (const std::string& bad : {".."s, "../x"s, "a/../b"s, "a..b"s, "x\0y"s}) {
        EXPECT_FALSE(JoinPath("/h", "/h/c", bad, out)) << bad;
    }
    EXPECT_FALSE(JoinPath("/h", "/h/c", std::string(kRealPathSize, 'x'), out));
}

}  // namespace
