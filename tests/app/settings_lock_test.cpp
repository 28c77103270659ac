#include "app/settings_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

class SettingsLockTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnhold-lock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string dir_;
};

// flock belongs to the open file, so a second lock in the same process
// stands in for a second process.
TEST_F(SettingsLockTest, OneHolderAtATimeAndReleasedWithItsHolder) {
    long holder = -1;
    std::string error;
    auto first = std::make_unique<SettingsLock>();
    ASSERT_EQ(first->Acquire(dir_, holder, error), SettingsLock::Outcome::kLocked) << error;

    SettingsLock second;
    EXPECT_EQ(second.Acquire(dir_, holder, error), SettingsLock::Outcome::kBusy);
    EXPECT_EQ(holder, static_cast<long>(getpid()));
    EXPECT_NE(
        SettingsLockRefusal(SettingsLock::Outcome::kBusy, dir_, holder, error, "start a server")
            .find("cannot start a server: another Tarnhold process (" + std::to_string(getpid()) +
                  ") is using the settings folder " + dir_),
        std::string::npos);

    first.reset();
    SettingsLock third;
    EXPECT_EQ(third.Acquire(dir_, holder, error), SettingsLock::Outcome::kLocked);
}

TEST_F(SettingsLockTest, AFolderThatIsNotThereFailsWithTheReason) {
    long holder = 0;
    std::string error;
    SettingsLock lock;
    EXPECT_EQ(lock.Acquire(dir_ + "/missing", holder, error), SettingsLock::Outcome::kFailed);
    EXPECT_EQ(error, "cannot create " + dir_ + "/missing/tarnhold.lock: No such file or directory");
}

}  // namespace
