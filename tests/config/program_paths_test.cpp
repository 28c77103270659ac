#include "config/program_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

TEST(ProgramPathsTest, DataFolderIsTheInstalledOneWhereItExistsElseBesideTheExecutable) {
    char pattern[] = "/tmp/tarnhold-paths-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    ASSERT_EQ(system(("mkdir -p '" + root + "/usr/bin' '" + root + "/usr/share/tarnhold' '" + root +
                      "/build'")
                         .c_str()),
              0);
    struct Case {
        std::string executableFolder;
        std::string expected;
    } cases[] = {
        {root + "/usr/bin", root + "/usr/share/tarnhold"},
        {root + "/build", root + "/build"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DataFolderOf(c.executableFolder, "../share/tarnhold"), c.expected)
            << c.executableFolder;
    }
    EXPECT_EQ(DataFolderOf("/", "../share/tarnhold"), "/");  // /share/tarnhold is not there
    ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

TEST(ProgramPathsTest, DesktopModuleIsTheInstalledOneWhereItExistsElseBesideTheExecutable) {
    char pattern[] = "/tmp/tarnhold-module-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    // An installed module folder without the module (a half-removed
    // package) does not count; the build tree's module is beside the
    // executable.
    ASSERT_EQ(system(("mkdir -p '" + root + "/usr/bin' '" + root + "/usr/lib/tarnhold' '" + root +
                      "/opt/bin' '" + root + "/opt/lib/tarnhold' && touch '" + root +
                      "/usr/lib/tarnhold/tarnhold-desktop.so'")
                         .c_str()),
              0);
    struct Case {
        std::string executableFolder;
        std::string expected;
    } cases[] = {
        {root + "/usr/bin", root + "/usr/lib/tarnhold/tarnhold-desktop.so"},
        {root + "/opt/bin", root + "/opt/bin/tarnhold-desktop.so"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ModuleOf(c.executableFolder, "../lib/tarnhold", "tarnhold-desktop.so"), c.expected)
            << c.executableFolder;
    }
    ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

TEST(ProgramPathsTest, DefaultSettingsFolderFollowsXdgAndIsMadePrivate) {
    char pattern[] = "/tmp/tarnhold-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    std::string error;
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1), 0);
    EXPECT_EQ(DefaultSettingsFolder(error), root + "/config/tarnhold") << error;
    struct stat st;
    ASSERT_EQ(stat((root + "/config/tarnhold").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A relative XDG_CONFIG_HOME is ignored, as the XDG rules say.
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", "relative", 1), 0);
    ASSERT_EQ(setenv("HOME", root.c_str(), 1), 0);
    EXPECT_EQ(DefaultSettingsFolder(error), root + "/.config/tarnhold") << error;
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

}  // namespace
