#include "net/ws_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/data_source.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint32_t Address(const char* dotted) {
    in_addr parsed{};
    inet_pton(AF_INET, dotted, &parsed);
    return parsed.s_addr;
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// A raw blocking connection from `from` (a local loopback address) to
// 127.0.0.1:port whose receives give up after 10 s; -1 on failure.
int RawConnect(int port, const char* from = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = Address(from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

int TimeoutMilliseconds(int fd, int option) {
    timeval tv{};
    socklen_t length = sizeof tv;
    getsockopt(fd, SOL_SOCKET, option, &tv, &length);
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

bool CloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// A client whose hooks the tests steer and watch.
class Probe : public CIP_WSClient {
public:
    int OnConnected(int, const char*) override { return refuse; }
    int ContinueSend(std::int64_t total) override {
        lastTotal = total;
        return total < stopAfter ? 1 : 0;
    }
    int ContinueReceive(std::int64_t total) override {
        lastTotal = total;
        return total < stopAfter ? 1 : 0;
    }
    int IsCancelled() override { return cancelled ? 1 : 0; }

    int refuse = 0;
    std::int64_t stopAfter = INT64_MAX;
    std::int64_t lastTotal = -1;
    bool cancelled = false;
};

// Both ends of one data connection: `dialer` connected out to `acceptor`,
// which listened on loopback and accepted it.
struct Link {
    Probe acceptor;
    Probe dialer;
    explicit Link(int timeoutMilliseconds = 30000) {
        acceptor.SetDataTimeouts(timeoutMilliseconds, timeoutMilliseconds);
        dialer.SetDataTimeouts(timeoutMilliseconds, timeoutMilliseconds);
        EXPECT_EQ(acceptor.Listen(0, 1, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
        EXPECT_EQ(dialer.Connect(acceptor.ListenPort(), "127.0.0.1", 10, AF_INET, SOCK_STREAM),
                  WSR_OK);
        EXPECT_EQ(acceptor.Accept(), WSR_OK);
    }
};

// The bytes of a source held in memory; fails its reads from failAt on.
class MemorySource : public CIP_DataSource {
public:
    explicit MemorySource(std::string bytes, std::size_t failAt = SIZE_MAX)
        : bytes_(std::move(bytes)), failAt_(failAt) {}
    std::unique_ptr<CIP_DataSource> Clone() const override {
        return std::make_unique<MemorySource>(bytes_, failAt_);
    }
    int Open(int mode) override { return mode == OPEN_READ ? (at_ = 0) : -1; }
    int Close() override { return 0; }
    int ReadLine(char*, int) override { return -1; }
    int WriteLine(const char*) override { return -1; }
    ssize_t Read(void* buffer, std::size_t count) override {
        if (at_ >= failAt_) return -1;
        count = std::min({count, bytes_.size() - at_, failAt_ - at_});
        std::memcpy(buffer, bytes_.data() + at_, count);
        at_ += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t Write(const void*, std::size_t) override { return -1; }
    std::int64_t Seek(std::int64_t, int) override { return -1; }

private:
    std::string bytes_;
    std::size_t failAt_;
    std::size_t at_ = 0;
};

class StringReader : public BlockReader {
public:
    explicit StringReader(std::string bytes) : bytes_(std::move(bytes)) {}
    ssize_t Read(void* buffer, std::size_t count) override {
        count = std::min(count, bytes_.size() - at_);
        std::memcpy(buffer, bytes_.data() + at_, count);
        at_ += count;
        return static_cast<ssize_t>(count);
    }

private:
    std::string bytes_;
    std::size_t at_ = 0;
};

class StringWriter : public BlockWriter {
public:
    explicit StringWriter(std::int64_t capacity) : capacity_(capacity) {}
    std::int64_t Capacity() override { return capacity_; }
    ssize_t Write(const void* data, std::size_t count) override {
        bytes.append(static_cast<const char*>(data), count);
        return static_cast<ssize_t>(count);
    }
    std::string bytes;

private:
    std::int64_t capacity_;
};

// Every byte value, CR, LF and NUL among them.
std::string MixedBytes(std::size_t size, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string ReceiveUntilClosed(int fd) {
    std::string all;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

// Every case checks that it leaves no descriptor behind.
class WSClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("tarnhold-wsclient-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        descriptors = OpenDescriptors();
    }
    void TearDown() override {
        EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor was left open";
        fs::remove_all(folder);
    }

    std::string Path(const char* name) const { return (folder / name).string(); }
    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static void MakeSparse(const std::string& path, off_t size) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // A port on which nothing listens.
    static int ClosedPort() {
        CIP_WSClient probe;
        probe.Listen(0, 1, AF_INET, htonl(INADDR_LOOPBACK));
        return probe.ListenPort();
    }
    // dialer sends the file and hangs up; acceptor stores what came.
    static void Transfer(Link& link, const std::string& from, const std::string& to, int& sendCode,
                         int& receiveCode) {
        std::thread sender([&] {
            sendCode = link.dialer.SendFile(from.c_str());
            link.dialer.Disconnect();
        });
        receiveCode = link.acceptor.ReceiveFile(to.c_str(), OPEN_CREATE, 0);
        sender.join();
    }

    fs::path folder;
    int descriptors = 0;
};

TEST_F(WSClientTest, FailedConnectsAnswerTheirCodeAndLeaveNoSocket) {
    const int port = ClosedPort();
    struct Case {
        const char* what;
        const char* host;
        int wait;
        int code;
    } const cases[] = {
        {"refused, with a wait", "127.0.0.1", 10, WSR_CONNECT_FAILED},
        {"refused, blocking", "127.0.0.1", -1, WSR_CONNECT_FAILED},
        {"name without an address", "no-such-host.invalid", 10, WSR_RESOLVE_FAILED},
        {"no host", nullptr, 10, WSR_RESOLVE_FAILED},
    };
    for (const Case& c : cases) {
        CIP_WSClient client;
        const auto start = Clock::now();
        EXPECT_EQ(client.Connect(port, c.host, c.wait, AF_INET, SOCK_STREAM), c.code) << c.what;
        EXPECT_LT(SecondsSince(start), 5.0) << c.what << ": a refusal is not waited out";
        EXPECT_EQ(client.Socket(), NO_SOCKET) << c.what;
    }
}

TEST_F(WSClientTest, ConnectWithAWaitGivesUpWhenTheListenerNeverAnswers) {
    // A listener whose backlog is full drops new handshakes: the connect
    // hangs as it would towards a host that is off the network.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    const int port = ntohs(at.sin_port);
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        CIP_WSClient filler;
        int code = filler.Connect(port, "127.0.0.1", 1, AF_INET, SOCK_STREAM);
        if (code == WSR_OK) {
            fillers.push_back(dup(filler.Socket()));
        } else {
            full = code == WSR_CONNECT_TIMEOUT;
        }
    }
    if (full) {
        CIP_WSClient client;
        const auto start = Clock::now();
        EXPECT_EQ(client.Connect(port, "127.0.0.1", 1, AF_INET, SOCK_STREAM), WSR_CONNECT_TIMEOUT);
        const double took = SecondsSince(start);
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 10.0);
        EXPECT_EQ(client.Socket(), NO_SOCKET);
    }
    for (int fd : fillers) close(fd);
    close(listener);
    if (!full) GTEST_SKIP() << "the listener's backlog never filled up on this system";
}

TEST_F(WSClientTest, ConnectAndAcceptRecordTheEndsAndBoundTheSocket) {
    Link link;
    ASSERT_NE(link.dialer.Socket(), NO_SOCKET);
    ASSERT_NE(link.acceptor.Socket(), NO_SOCKET);
    EXPECT_STREQ(link.dialer.HostText(), "127.0.0.1");
    EXPECT_STREQ(link.acceptor.HostText(), "127.0.0.1");
    EXPECT_EQ(link.dialer.RemotePort(), link.acceptor.ListenPort());
    EXPECT_EQ(link.acceptor.LocalPort(), link.acceptor.ListenPort());
    EXPECT_EQ(link.acceptor.RemotePort(), link.dialer.LocalPort());
    EXPECT_NE(link.dialer.LocalPort(), 0);
    // Both ends, the accepted one included, are bounded by the 30 s
    // time-outs from their first blocking send or receive on.
    char c = 0;
    ASSERT_EQ(link.dialer.SendAll("d", 1), 1);
    ASSERT_EQ(link.acceptor.Receive(&c, 1, 10), 1);
    ASSERT_EQ(link.acceptor.SendAll("a", 1), 1);
    ASSERT_EQ(link.dialer.Receive(&c, 1, 10), 1);
    for (const CIP_WSClient* end : {&link.dialer, &link.acceptor}) {
        EXPECT_EQ(TimeoutMilliseconds(end->Socket(), SO_SNDTIMEO), 30000);
        EXPECT_EQ(TimeoutMilliseconds(end->Socket(), SO_RCVTIMEO), 30000);
        EXPECT_TRUE(CloseOnExec(end->Socket()));
    }
    EXPECT_TRUE(CloseOnExec(link.acceptor.ListenSocket()));
    EXPECT_EQ(link.dialer.Connect(link.acceptor.ListenPort(), "127.0.0.1", 1, AF_INET, SOCK_STREAM),
              WSR_ALREADY_OPEN);

    EXPECT_EQ(link.acceptor.Disconnect(), WSR_OK);
    EXPECT_EQ(link.acceptor.Socket(), NO_SOCKET);
    EXPECT_EQ(link.acceptor.ListenSocket(), NO_SOCKET);
    EXPECT_EQ(link.acceptor.ListenPort(), 0);
    EXPECT_EQ(link.acceptor.RemotePort(), 0);
    EXPECT_STREQ(link.acceptor.HostText(), "");
    EXPECT_EQ(link.acceptor.Disconnect(), WSR_OK) << "nothing open";
}

TEST_F(WSClientTest, ARefusingOnConnectClosesTheOutgoingSocket) {
    CIP_WSClient listener;
    ASSERT_EQ(listener.Listen(0, 1, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
    Probe client;
    client.refuse = 7;
    EXPECT_EQ(client.Connect(listener.ListenPort(), "127.0.0.1", 10, AF_INET, SOCK_STREAM), 7);
    EXPECT_EQ(client.Socket(), NO_SOCKET);
}

TEST_F(WSClientTest, BindAndConnectUsesTheLocalAddressAndKeepsAFailedSocket) {
    CIP_WSClient listener;
    ASSERT_EQ(listener.Listen(0, 1, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
    CIP_WSClient client;
    ASSERT_EQ(client.BindAndConnect(0, listener.ListenPort(), "127.0.0.2", "127.0.0.1", AF_INET,
                                    SOCK_STREAM),
              WSR_OK);
    ASSERT_EQ(listener.AcceptFrom(Address("127.0.0.2"), 10), WSR_OK);
    EXPECT_EQ(listener.RemotePort(), client.LocalPort());
    ASSERT_EQ(client.SendAll("c", 1), 1);
    EXPECT_EQ(TimeoutMilliseconds(client.Socket(), SO_SNDTIMEO), 30000);

    CIP_WSClient refused;
    EXPECT_EQ(refused.BindAndConnect(0, ClosedPort(), nullptr, "127.0.0.1", AF_INET, SOCK_STREAM),
              WSR_CONNECT_FAILED);
    EXPECT_NE(refused.Socket(), NO_SOCKET) << "left for Disconnect";
    EXPECT_EQ(refused.Connect(1, "127.0.0.1", 1, AF_INET, SOCK_STREAM), WSR_ALREADY_OPEN);
    refused.Disconnect();
    EXPECT_EQ(refused.Socket(), NO_SOCKET);
}

TEST_F(WSClientTest, ListenBindsTheGivenAddressAndReportsItsPort) {
    CIP_WSClient first;
    ASSERT_EQ(first.Listen(0, 1, AF_INET, Address("127.0.0.1")), WSR_OK);
    sockaddr_in own{};
    socklen_t length = sizeof own;
    getsockname(first.ListenSocket(), reinterpret_cast<sockaddr*>(&own), &length);
    EXPECT_EQ(own.sin_addr.s_addr, Address("127.0.0.1"));
    EXPECT_EQ(ntohs(own.sin_port), first.ListenPort());
    EXPECT_GT(first.ListenPort(), 0);

    const int open = first.ListenSocket();
    EXPECT_EQ(first.Listen(0, 1, AF_INET, Address("127.0.0.1")), WSR_ALREADY_OPEN);
    EXPECT_EQ(first.ListenSocket(), open);

    CIP_WSClient second;
    EXPECT_EQ(second.Listen(first.ListenPort(), 1, AF_INET, Address("127.0.0.1")), WSR_BIND_FAILED);
    EXPECT_EQ(second.ListenSocket(), NO_SOCKET);
    EXPECT_EQ(second.Listen(0, 1, AF_INET, Address("127.0.0.1")), WSR_OK) << "another port";
}

TEST_F(WSClientTest, WaitForConnectionTimesOutThenSeesTheClient) {
    CIP_WSClient server;
    EXPECT_EQ(server.WaitForConnection(0), WSR_FAILED) << "no listening socket";
    ASSERT_EQ(server.Listen(0, 1, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
    const auto start = Clock::now();
    EXPECT_EQ(server.WaitForConnection(1), WSR_FAILED);
    EXPECT_GE(SecondsSince(start), 0.9);

    int client = RawConnect(server.ListenPort());
    ASSERT_GE(client, 0);
    EXPECT_EQ(server.WaitForConnection(10), WSR_OK);
    EXPECT_EQ(server.Accept(), WSR_OK);
    EXPECT_STREQ(server.HostText(), "127.0.0.1");
    EXPECT_EQ(server.SendAll("hi", 2), 2);
    char got[2];
    EXPECT_EQ(recv(client, got, 2, MSG_WAITALL), 2);
    close(client);
}

TEST_F(WSClientTest, AcceptFromTakesOnlyThePeerAndClosesStrangers) {
    CIP_WSClient server;
    ASSERT_EQ(server.Listen(0, 4, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
    int stranger = RawConnect(server.ListenPort(), "127.0.0.2");
    ASSERT_GE(stranger, 0) << "127.0.0.2 is not usable as a source address here";
    int peer = RawConnect(server.ListenPort(), "127.0.0.1");
    ASSERT_GE(peer, 0);

    EXPECT_EQ(server.AcceptFrom(Address("127.0.0.1"), 10), WSR_OK);
    EXPECT_STREQ(server.HostText(), "127.0.0.1");
    char c;
    EXPECT_LE(recv(stranger, &c, 1, 0), 0) << "the stranger's connection is closed";
    send(peer, "p", 1, MSG_NOSIGNAL);
    EXPECT_EQ(server.Receive(&c, 1, 10), 1);
    EXPECT_EQ(c, 'p') << "the peer's connection is the one accepted";
    EXPECT_EQ(TimeoutMilliseconds(server.Socket(), SO_RCVTIMEO), 30000);
    close(stranger);
    close(peer);
}

TEST_F(WSClientTest, AcceptFromStaysBoundedWhileStrangersKeepConnecting) {
    CIP_WSClient server;
    ASSERT_EQ(server.Listen(0, 4, AF_INET, htonl(INADDR_LOOPBACK)), WSR_OK);
    const int port = server.ListenPort();
    std::atomic<bool> stop{false};
    std::atomic<int> attempts{0};
    std::thread flood([&] {
        while (!stop) {
            int fd = RawConnect(port, "127.0.0.2");
            if (fd >= 0) close(fd);
            ++attempts;
        }
    });
    const auto start = Clock::now();
    EXPECT_EQ(server.AcceptFrom(Address("127.0.0.1"), 2), WSR_TIMEOUT);
    const double took = SecondsSince(start);
    stop = true;
    flood.join();
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 15.0);
    EXPECT_GT(attempts.load(), 1);
    EXPECT_EQ(server.Socket(), NO_SOCKET);
    EXPECT_NE(server.ListenSocket(), NO_SOCKET) << "the listening socket stays for Disconnect";
}

TEST_F(WSClientTest, SendFileAndReceiveFileMoveTheExactBytes) {
    struct Case {
        const char* what;
        std::string bytes;
    } const cases[] = {
        {"empty file", ""},
        {"line ends and bytes above 127", std::string("a\r\nb\nc\r\xff\x80\x00z\r", 12)},
        {"many pieces", MixedBytes(3 * 1024 * 1024 + 17)},
    };
    for (const Case& c : cases) {
        WriteFile(Path("out"), c.bytes);
        WriteFile(Path("in"), "old contents that must go");
        Link link;
        int sent = -1, received = -1;
        Transfer(link, Path("out"), Path("in"), sent, received);
        EXPECT_EQ(sent, WSR_OK) << c.what;
        EXPECT_EQ(received, WSR_OK) << c.what;
        EXPECT_TRUE(ReadFile(Path("in")) == c.bytes) << c.what;
        EXPECT_EQ(link.dialer.lastTotal, c.bytes.empty() ? -1 : std::int64_t(c.bytes.size()))
            << c.what << ": the progress hook sees the running total";
        EXPECT_EQ(link.acceptor.lastTotal, c.bytes.empty() ? -1 : std::int64_t(c.bytes.size()))
            << c.what;
    }
}

TEST_F(WSClientTest, A64MiBFileArrivesWhole) {
    constexpr std::size_t kBlock = 1024 * 1024;
    constexpr int kBlocks = 64;
    {
        std::ofstream out(Path("big"), std::ios::binary);
        for (int i = 0; i < kBlocks; ++i) out << MixedBytes(kBlock, static_cast<unsigned>(i));
    }
    Link link;
    int sent = -1, received = -1;
    Transfer(link, Path("big"), Path("copy"), sent, received);
    EXPECT_EQ(sent, WSR_OK);
    EXPECT_EQ(received, WSR_OK);
    EXPECT_EQ(link.acceptor.lastTotal, std::int64_t{kBlock} * kBlocks);
    ASSERT_EQ(fs::file_size(Path("copy")), kBlock * kBlocks);
    std::ifstream a(Path("big"), std::ios::binary), b(Path("copy"), std::ios::binary);
    std::string x(kBlock, '\0'), y(kBlock, '\0');
    for (int i = 0; i < kBlocks; ++i) {
        a.read(x.data(), kBlock);
        b.read(y.data(), kBlock);
        ASSERT_TRUE(x == y) << "block " << i << " differs";
    }
}

TEST_F(WSClientTest, SourcesAndReadersWithoutAFileGoOutWhole) {
    const std::string bytes = MixedBytes(700 * 1024 + 3);
    for (int viaReader = 0; viaReader < 2; ++viaReader) {
        Link link;
        std::string got;
        std::thread reader([&] { got = ReceiveUntilClosed(link.acceptor.Socket()); });
        MemorySource source(bytes);
        StringReader blocks(bytes);
        EXPECT_EQ(viaReader ? link.dialer.SendReader(blocks) : link.dialer.SendSource(source),
                  WSR_OK);
        link.dialer.Disconnect();
        reader.join();
        EXPECT_TRUE(got == bytes) << (viaReader ? "SendReader" : "SendSource");
    }
}

TEST_F(WSClientTest, ReceiveToWriterStopsAtTheLimitOrTheCapacity) {
    const std::string bytes = MixedBytes(1000);
    struct Case {
        std::int64_t capacity, limit;
        std::size_t expected;
    } const cases[] = {{600, 0, 600}, {600, 900, 600}, {600, 250, 250}, {5000, 0, 1000}};
    for (const Case& c : cases) {
        Link link;
        EXPECT_EQ(link.dialer.SendAll(bytes.data(), static_cast<int>(bytes.size())), 1000);
        link.dialer.Disconnect();
        StringWriter writer(c.capacity);
        EXPECT_EQ(link.acceptor.ReceiveToWriter(writer, 10, c.limit), WSR_OK);
        EXPECT_TRUE(writer.bytes == bytes.substr(0, c.expected))
            << "capacity " << c.capacity << ", limit " << c.limit;
    }
}

TEST_F(WSClientTest, TransferFailuresAnswerTheirCodes) {
    WriteFile(Path("present"), "data");
    fs::create_directory(Path("folder"));
    CIP_WSClient idle;
    EXPECT_EQ(idle.SendFile(Path("present").c_str()), WSR_NOT_CONNECTED);
    EXPECT_EQ(idle.ReceiveFile(Path("new").c_str(), OPEN_CREATE, 0), WSR_NOT_CONNECTED);

    Link link;
    EXPECT_EQ(link.dialer.SendFile(Path("missing").c_str()), WSR_SOURCE_OPEN_FAILED);
    EXPECT_EQ(link.dialer.SendFile(Path("folder").c_str()), WSR_SOURCE_OPEN_FAILED);
    EXPECT_EQ(link.acceptor.ReceiveFile(Path("present").c_str(), OPEN_READ, 0), WSR_BAD_MODE);
    EXPECT_EQ(ReadFile(Path("present")), "data") << "a bad mode leaves the file alone";
    EXPECT_EQ(link.acceptor.ReceiveFile(Path("folder").c_str(), OPEN_CREATE, 0),
              WSR_SOURCE_OPEN_FAILED);
    EXPECT_EQ(link.acceptor.ReceiveFile((folder / "no" / "such").c_str(), OPEN_CREATE, 0),
              WSR_SOURCE_OPEN_FAILED);

    // A source that fails part-way is no complete transfer.
    MemorySource failing(MixedBytes(4096), 1000);
    EXPECT_EQ(link.dialer.SendSource(failing), WSR_FAILED);
}

TEST_F(WSClientTest, APeerThatLeavesEarlyEndsTheTransfer) {
    MakeSparse(Path("big"), 16 * 1024 * 1024);
    {
        // The receiver takes a little, then drops the connection unread:
        // the sender gets an error, and the process no SIGPIPE.
        Link link;
        std::thread leaver([&] {
            char some[1000];
            link.acceptor.ReceiveAll(some, sizeof some, 10);
            link.acceptor.Disconnect();
        });
        EXPECT_EQ(link.dialer.SendFile(Path("big").c_str()), WSR_SEND_FAILED);
        leaver.join();
    }
    {
        // A sender that closes at once leaves an empty file, replacing
        // what was there.
        WriteFile(Path("target"), "previous");
        Link link;
        link.dialer.Disconnect();
        EXPECT_EQ(link.acceptor.ReceiveFile(Path("target").c_str(), OPEN_CREATE, 0), WSR_OK);
        EXPECT_EQ(fs::file_size(Path("target")), 0u);
    }
}

TEST_F(WSClientTest, TheDataTimeoutsEndATransferWithAStalledPeer) {
    MakeSparse(Path("big"), 64 * 1024 * 1024);
    {
        // A peer that never reads: the send time-out ends the transfer.
        Link link(300);
        const auto start = Clock::now();
        EXPECT_EQ(link.dialer.SendFile(Path("big").c_str()), WSR_SEND_FAILED);
        EXPECT_LT(SecondsSince(start), 20.0);
    }
    {
        // A peer that never sends: the accepted side's receive time-out
        // ends the upload.
        Link link(300);
        const auto start = Clock::now();
        EXPECT_EQ(link.acceptor.ReceiveFile(Path("upload").c_str(), OPEN_CREATE, 0),
                  WSR_RECEIVE_FAILED);
        const double took = SecondsSince(start);
        EXPECT_GE(took, 0.25);
        EXPECT_LT(took, 20.0);
    }
}

TEST_F(WSClientTest, ProgressHooksAndCancellationStopATransfer) {
    MakeSparse(Path("big"), 3 * 1024 * 1024);
    struct Case {
        const char* what;
        bool sending;
        bool cancel;
    } const cases[] = {
        {"ContinueSend says stop", true, false},
        {"IsCancelled while sending", true, true},
        {"ContinueReceive says stop", false, false},
        {"IsCancelled while receiving", false, true},
    };
    for (const Case& c : cases) {
        Link link;
        Probe& watched = c.sending ? link.dialer : link.acceptor;
        if (c.cancel) {
            watched.cancelled = true;
        } else {
            watched.stopAfter = 1;
        }
        if (c.sending) {
            std::thread drain([&] { ReceiveUntilClosed(link.acceptor.Socket()); });
            EXPECT_EQ(link.dialer.SendFile(Path("big").c_str()), WSR_STOPPED) << c.what;
            link.dialer.Disconnect();
            drain.join();
        } else {
            std::thread feed([&] { link.dialer.SendFile(Path("big").c_str()); });
            EXPECT_EQ(link.acceptor.ReceiveFile(Path("part").c_str(), OPEN_CREATE, 0), WSR_STOPPED)
                << c.what;
            link.acceptor.Disconnect();
            feed.join();
            EXPECT_LT(fs::file_size(Path("part")), 3u * 1024 * 1024) << c.what;
            EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(Path("part"))), watched.lastTotal)
                << c.what << ": what came before the stop is kept";
        }
        EXPECT_GT(watched.lastTotal, 0) << c.what;
        EXPECT_LT(watched.lastTotal, 3 * 1024 * 1024) << c.what;
    }
}

TEST_F(WSClientTest, ReadLineTakesOneLineAndLeavesTheRest) {
    Link link;
    char line[64];
    link.dialer.SendAll("abc\r\ndef", 8);
    EXPECT_EQ(link.acceptor.ReadLine(line, sizeof line, 5), 5);
    EXPECT_STREQ(line, "abc\r\n");
    EXPECT_EQ(link.acceptor.Receive(line, 3, 5), 3);
    EXPECT_EQ(std::string(line, 3), "def") << "nothing after the line end was consumed";

    // A line longer than the buffer comes in pieces.
    link.dialer.SendAll("0123456789\n", 11);
    EXPECT_EQ(link.acceptor.ReadLine(line, 5, 5), 4);
    EXPECT_STREQ(line, "0123");
    EXPECT_EQ(link.acceptor.ReadLine(line, sizeof line, 5), 7);
    EXPECT_STREQ(line, "456789\n");

    // The last bytes before the peer closes make a line without LF.
    link.dialer.SendAll("tail", 4);
    link.dialer.Disconnect();
    EXPECT_EQ(link.acceptor.ReadLine(line, sizeof line, 5), 4);
    EXPECT_STREQ(line, "tail");
    EXPECT_EQ(link.acceptor.ReadLine(line, sizeof line, 5), 0);
}

TEST_F(WSClientTest, SendWrappedCutsTheTextIntoLines) {
    Link link;
    EXPECT_EQ(link.dialer.SendWrapped("abcdefg", -1, 3), 7);
    EXPECT_EQ(link.dialer.SendWrapped("xyz", -1, 0), 0) << "a width of 0 sends nothing";
    link.dialer.Disconnect();
    char got[64];
    int n = link.acceptor.ReceiveAll(got, sizeof got, 5);
    EXPECT_EQ(std::string(got, static_cast<std::size_t>(n)), "abc\r\ndef\r\ng\r\n");
}

TEST_F(WSClientTest, DatagramsTravelOverLoopback) {
    CIP_WSClient idle;
    char buffer[64];
    int size = sizeof buffer;
    int length = 5;
    EXPECT_EQ(idle.SendDatagram("hello", length), WSR_NOT_CONNECTED);
    EXPECT_EQ(idle.ReceiveDatagram(buffer, size, 0), WSR_NOT_CONNECTED);
    EXPECT_EQ(idle.OpenDatagram(0, 1, "127.0.0.1", "not an address"), WSR_BIND_FAILED);
    EXPECT_EQ(idle.Socket(), NO_SOCKET);

    CIP_WSClient receiver;
    ASSERT_EQ(receiver.OpenDatagram(0, 0, "127.0.0.1", "127.0.0.1"), WSR_OK);
    EXPECT_TRUE(CloseOnExec(receiver.Socket()));
    EXPECT_EQ(receiver.ReceiveDatagram(buffer, size, 0), WSR_TIMEOUT) << "nothing waiting";
    CIP_WSClient sender;
    ASSERT_EQ(sender.OpenDatagram(0, receiver.LocalPort(), "127.0.0.1", nullptr), WSR_OK);
    EXPECT_EQ(sender.OpenDatagram(0, 1, "127.0.0.1", nullptr), WSR_ALREADY_OPEN);

    length = 5;
    EXPECT_EQ(sender.SendDatagram("hello", length), WSR_OK);
    EXPECT_EQ(length, 5);
    size = sizeof buffer;
    EXPECT_EQ(receiver.ReceiveDatagram(buffer, size, 10), WSR_OK);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), "hello");
    EXPECT_EQ(ntohs(receiver.RemoteAddress().sin_port), sender.LocalPort());
}

}  // namespace
