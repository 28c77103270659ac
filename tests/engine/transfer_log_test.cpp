#include "engine/transfer_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

TEST(XferlogLine, HasTheFieldsOfXferlog5InOrder) {
    setenv("TZ", "UTC", 1);
    tzset();
    TransferRecord record;
    record.end = 1796975711;  // Fri Dec 11 07:55:11 2026 UTC
    record.seconds = 3;
    record.address = "192.0.2.7";
    record.bytes = 1024;
    record.path = "/pub/my file.txt";
    record.login = "alice";
    record.complete = true;
    EXPECT_EQ(XferlogLine(record),
              "Fri Dec 11 07:55:11 2026 3 192.0.2.7 1024 /pub/my_file.txt b _ o r alice ftp 0 * c");

    struct Case {
        bool upload, anonymous, complete;
        const char *direction, *access, *status;
    } cases[] = {{true, false, true, "i", "r", "c"}, {false, true, false, "o", "a", "i"}};
    for (const Case& c : cases) {
        record.upload = c.upload;
        record.anonymous = c.anonymous;
        record.complete = c.complete;
        record.login = "me@example.org";
        record.end = 1780300511;  // Mon Jun  1 2026: a single-digit day is padded with a blank
        const std::vector<std::string> w = Words(XferlogLine(record));
        ASSERT_EQ(w.size(), 18u) << XferlogLine(record);
        EXPECT_EQ(w[11], c.direction);
        EXPECT_EQ(w[12], c.access);
        EXPECT_EQ(w[13], "me@example.org");
        EXPECT_EQ(w[17], c.status);
    }
    unsetenv("TZ");
    tzset();
}

class TransferLogTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnhold-xferlog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/xferlog";
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    TransferLog::Report Recorder() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(mutex_);
            reports_.push_back(line);
        };
    }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> guard(mutex_);
        return reports_;
    }

    std::string dir_;
    std::string path_;
    std::mutex mutex_;
    std::vector<std::string> reports_;
};

TEST_F(TransferLogTest, AppendsLinesAndStartsANewFileWhenTheOldOneIsMovedAway) {
    TransferLog log;
    EXPECT_FALSE(log.Enabled());
    log.SetPath(path_, Recorder());
    EXPECT_TRUE(log.Enabled());
    log.Append("one");
    log.Append("two");
    log.Flush();
    EXPECT_EQ(Contents(path_), "one\ntwo\n");
    struct stat status {};
    ASSERT_EQ(stat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    // The writer starts the new file by itself, within about a second.
    for (int i = 0; i < 100 && access(path_.c_str(), F_OK) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(access(path_.c_str(), F_OK), 0) << "no new file after 5 s";
    log.Append("three");
    log.Flush();
    EXPECT_EQ(Contents(path_ + ".1"), "one\ntwo\n");
    EXPECT_EQ(Contents(path_), "three\n");
    EXPECT_TRUE(Reports().empty());
}

// A disk that takes nothing: every write fails as a full one does.
class FullDisk : public TransferLogFile {
public:
    ssize_t Write(int, const void*, std::size_t) override {
        ++writes;
        errno = ENOSPC;
        return -1;
    }
    std::atomic<int> writes{0};
};

TEST_F(TransferLogTest, LinesLostToAFullDiskAreCountedAndReportedOnceAMinute) {
    FullDisk disk;
    {
        TransferLog log(&disk);
        log.SetPath(path_, Recorder());
        log.Append("a");
        log.Append("b");
        log.Flush();
        // The first loss is reported at once...
        for (int i = 0; i < 100 && Reports().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(Reports().size(), 1u);
        const std::string first = Reports()[0];
        EXPECT_NE(first.find(path_), std::string::npos) << first;
        EXPECT_NE(first.find(" lost (No space left on device)"), std::string::npos) << first;
        // ...and the next ones not before a minute has passed: here at
        // the end, when the log is closed.
        log.Append("c");
        log.Flush();
        EXPECT_EQ(Reports().size(), 1u);
    }
    const std::vector<std::string> reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find(": 2 lines lost"), std::string::npos) << reports[0];
    EXPECT_NE(reports[1].find(": 1 line lost"), std::string::npos) << reports[1];
}

// A disk that hangs until released: Append must return all the same.
class StuckDisk : public TransferLogFile {
public:
    ssize_t Write(int fd, const void* data, std::size_t count) override {
        std::unique_lock<std::mutex> guard(mutex);
        released.wait(guard, [this] { return free; });
        return TransferLogFile::Write(fd, data, count);
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            free = true;
        }
        released.notify_all();
    }
    std::mutex mutex;
    std::condition_variable released;
    bool free = false;
};

TEST_F(TransferLogTest, AppendNeverWaitsForAStuckDiskAndCountsWhatOverflows) {
    StuckDisk disk;
    {
        TransferLog log(&disk);
        log.SetPath(path_, Recorder());
        // Far more lines than the queue holds go in while the disk hangs.
        for (int i = 0; i < 30000; ++i) log.Append("line " + std::to_string(i));
        disk.Release();
        log.Flush();
    }
    const std::string text = Contents(path_);
    const auto written = static_cast<long>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_GE(written, 10000);
    EXPECT_LT(written, 30000);
    uint64_t lost = 0;
    for (const std::string& report : Reports()) {
        const std::size_t colon = report.rfind(": ");
        lost += std::stoull(report.substr(colon + 2));
    }
    EXPECT_EQ(written + static_cast<long>(lost), 30000);
}

}  // namespace
