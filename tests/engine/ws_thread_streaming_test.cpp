#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "engine/ws_thread.h"
#include "net/data_source.h"
#include "tests/engine/loopback.h"

namespace {

namespace fs = std::filesystem;

// A connection thread without a server, streaming over one end of a pair.
class Streamer : public CIP_WSThread {
public:
    explicit Streamer(int socket) { sock = socket; }
    ~Streamer() override { sock = NO_SOCKET; }  // the Pair closes it
    int ContinueSend(int64_t count) override {
        lastProgress = count;
        return count < stopAfter ? 1 : 0;
    }
    int ContinueReceive(int64_t count) override {
        lastProgress = count;
        return count < stopAfter ? 1 : 0;
    }
    int64_t stopAfter = INT64_MAX;
    int64_t lastProgress = -1;
};

class Streaming : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("tarnhold-stream-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string Path(const char* name) const { return (folder / name).string(); }

    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Every byte value, CR and LF among them, over several chunks.
    static std::string MixedBytes(std::size_t size) {
        std::mt19937 random(7);
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    }

    fs::path folder;
};

TEST_F(Streaming, SendFileSendsExactBytes) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{300 * 1024 + 7}}) {
        const std::string bytes = MixedBytes(size);
        Write(Path("out.bin"), bytes);
        loopback::Pair pair;
        Streamer streamer(pair.served);
        std::string received;
        std::thread reader([&] { received = loopback::ReceiveUntilClosed(pair.client); });
        int64_t count = -1;
        EXPECT_EQ(streamer.SendFile(Path("out.bin").c_str(), count), WSR_OK);
        ::shutdown(pair.served, SHUT_WR);
        reader.join();
        EXPECT_EQ(count, static_cast<int64_t>(size));
        EXPECT_EQ(received, bytes) << "size " << size;
    }
}

TEST_F(Streaming, SendFileOfAMissingFileSendsNothing) {
    loopback::Pair pair;
    Streamer streamer(pair.served);
    int64_t count = -1;
    EXPECT_EQ(streamer.SendFile(Path("missing").c_str(), count), WSR_SOURCE_OPEN_FAILED);
    EXPECT_EQ(count, 0);
    ::shutdown(pair.served, SHUT_WR);
    EXPECT_EQ(loopback::ReceiveUntilClosed(pair.client), "");
}

TEST_F(Streaming, SendToAGonePeerFails) {
    Write(Path("big.bin"), MixedBytes(8 * 1024 * 1024));
    loopback::Pair pair;
    Streamer streamer(pair.served);
    pair.CloseClient();
    int64_t count = -1;
    EXPECT_EQ(streamer.SendFile(Path("big.bin").c_str(), count), WSR_THREAD_SEND_FAILED);
    EXPECT_LT(count, 8 * 1024 * 1024);
}

TEST_F(Streaming, ReceiveFileWritesExactBytesInBothModes) {
    const std::string bytes = MixedBytes(200 * 1024 + 3);
    Write(Path("in.bin"), "old contents");
    struct Case {
        int mode;
        std::string expected;
    };
    for (const Case& c : {Case{OPEN_CREATE, bytes}, Case{OPEN_APPEND, bytes + bytes}}) {
        loopback::Pair pair;
        Streamer streamer(pair.served);
        std::thread writer([&] {
            loopback::SendText(pair.client, bytes);
            pair.CloseClient();
        });
        int64_t count = -1;
        EXPECT_EQ(streamer.ReceiveFile(Path("in.bin").c_str(), c.mode, count, 5), WSR_OK);
        writer.join();
        EXPECT_EQ(count, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(ReadAll(Path("in.bin")), c.expected) << "mode " << c.mode;
    }
}

TEST_F(Streaming, ReceiveFileWhenThePeerClosesAtOnceLeavesAnEmptyFile) {
    Write(Path("in.bin"), "old contents");
    loopback::Pair pair;
    Streamer streamer(pair.served);
    pair.CloseClient();
    int64_t count = -1;
    EXPECT_EQ(streamer.ReceiveFile(Path("in.bin").c_str(), OPEN_CREATE, count, 0), WSR_OK);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(fs::exists(Path("in.bin")));
    EXPECT_EQ(fs::file_size(Path("in.bin")), 0u);
}

TEST_F(Streaming, ReceiveRefusesOtherModesWithoutOpening) {
    loopback::Pair pair;
    Streamer streamer(pair.served);
    for (int mode : {OPEN_READ, 3, -1}) {
        int64_t count = -1;
        EXPECT_EQ(streamer.ReceiveFile(Path("never").c_str(), mode, count, 0), WSR_BAD_MODE);
        EXPECT_FALSE(fs::exists(Path("never"))) << "mode " << mode;
    }
}

TEST_F(Streaming, ReceiveTimesOutOnASilentPeerAndKeepsWhatCame) {
    loopback::Pair pair;
    Streamer streamer(pair.served);
    loopback::SendText(pair.client, "first part");
    int64_t count = -1;
    EXPECT_EQ(streamer.ReceiveFile(Path("in.bin").c_str(), OPEN_CREATE, count, 1), WSR_TIMEOUT);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(ReadAll(Path("in.bin")), "first part");
}

TEST_F(Streaming, ReceiveIntoAnUnopenableFileFails) {
    loopback::Pair pair;
    Streamer streamer(pair.served);
    int64_t count = -1;
    std::string inMissingFolder = Path("no-such-folder/in.bin");
    EXPECT_EQ(streamer.ReceiveFile(inMissingFolder.c_str(), OPEN_CREATE, count, 0),
              WSR_SOURCE_OPEN_FAILED);
}

TEST_F(Streaming, ProgressHooksSeeRunningTotalsAndStopTransfers) {
    const std::string bytes = MixedBytes(256 * 1024);
    {
        loopback::Pair pair;
        Streamer streamer(pair.served);
        streamer.stopAfter = 1;  // stop after the first chunk
        std::thread writer([&] {
            loopback::SendText(pair.client, bytes);
            pair.CloseClient();
        });
        int64_t count = -1;
        EXPECT_EQ(streamer.ReceiveFile(Path("in.bin").c_str(), OPEN_CREATE, count, 5), WSR_STOPPED);
        writer.join();
        EXPECT_GT(count, 0);
        EXPECT_EQ(streamer.lastProgress, count);
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(Path("in.bin"))), count);
    }
    {
        Write(Path("out.bin"), bytes);
        loopback::Pair pair;
        Streamer streamer(pair.served);
        streamer.stopAfter = 1;
        std::string received;
        std::thread reader([&] { received = loopback::ReceiveUntilClosed(pair.client); });
        int64_t count = -1;
        EXPECT_EQ(streamer.SendFile(Path("out.bin").c_str(), count), WSR_OK);
        ::shutdown(pair.served, SHUT_WR);
        reader.join();
        EXPECT_GT(count, 0);
        EXPECT_LT(count, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(streamer.lastProgress, count);
        EXPECT_EQ(received, bytes.substr(0, static_cast<std::size_t>(count)));
    }
}

}  // namespace
