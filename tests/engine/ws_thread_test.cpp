#include "engine/ws_thread.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "tests/engine/loopback.h"

namespace {

using namespace std::chrono_literals;

// A connection thread without a server, working on a given socket.
class Session : public CIP_WSThread {
public:
    explicit Session(int socket = NO_SOCKET, bool ahead = false) : readsAhead(ahead) {
        sock = socket;
    }
    ~Session() override { sock = NO_SOCKET; }  // the Pair closes it
    const char* HostText() const { return hostText; }
    int OnConnected(int, const char* host) override {
        connectedHost = host;
        return refuseWith;
    }
    bool ReadsAhead() const override { return readsAhead; }
    std::string connectedHost;
    int refuseWith = 0;
    bool readsAhead = false;
};

std::string Line(Session& s, int size, int timeout) {
    char buffer[512];
    std::memset(buffer, 'z', sizeof buffer);
    int n = s.ReadLine(buffer, size, timeout);
    EXPECT_EQ(std::strlen(buffer), static_cast<std::size_t>(n)) << "stored bytes are terminated";
    return std::string(buffer, static_cast<std::size_t>(n));
}

// Every line comes out the same whether the session peeks at the socket
// or reads ahead of the line.
class ReadLine : public testing::TestWithParam<bool> {};

TEST_P(ReadLine, TwoLinesInOnePacketComeOneAtATime) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    loopback::SendText(pair.client, "NOOP\r\nPWD\r\n");
    EXPECT_EQ(Line(s, 257, 1), "NOOP\r\n");
    EXPECT_EQ(Line(s, 257, 1), "PWD\r\n");
}

TEST_P(ReadLine, SilenceOfTimeoutSecondsEndsAPartialLine) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    loopback::SendText(pair.client, "NO");
    std::thread late([&] {
        std::this_thread::sleep_for(1500ms);
        loopback::SendText(pair.client, "OP\r\n");
    });
    EXPECT_EQ(Line(s, 257, 1), "NO");
    late.join();
    EXPECT_EQ(Line(s, 257, 1), "OP\r\n");
}

TEST_P(ReadLine, OverlongInputIsCutAtSizeAndTheRestStays) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    loopback::SendText(pair.client, std::string(300, 'a'));
    EXPECT_EQ(Line(s, 257, 1), std::string(256, 'a'));
    EXPECT_EQ(Line(s, 257, 1), std::string(44, 'a'));
}

TEST_P(ReadLine, LineEndSplitBetweenPacketsEndsTheLine) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    loopback::SendText(pair.client, "AB\r");
    std::thread late([&] {
        std::this_thread::sleep_for(200ms);
        loopback::SendText(pair.client, "\nCD\r\n");
    });
    EXPECT_EQ(Line(s, 257, 0), "AB\r\n");
    late.join();
    EXPECT_EQ(Line(s, 257, 0), "CD\r\n");
}

TEST_P(ReadLine, PeerClosingMidLineGivesThePartThenNothing) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    loopback::SendText(pair.client, "XY");
    pair.CloseClient();
    EXPECT_EQ(Line(s, 257, 0), "XY");
    EXPECT_EQ(Line(s, 257, 0), "");
    EXPECT_EQ(Line(s, 1, 0), "") << "no room beyond the terminator";
}

TEST_P(ReadLine, ManyLinesInOnePacketAndALineAcrossTwo) {
    loopback::Pair pair;
    Session s(pair.served, GetParam());
    std::string burst;
    for (int i = 0; i < 80; ++i) burst += "NOOP " + std::to_string(i) + "\r\n";
    loopback::SendText(pair.client, burst + "RETR a");
    for (int i = 0; i < 80; ++i) EXPECT_EQ(Line(s, 257, 1), "NOOP " + std::to_string(i) + "\r\n");
    loopback::SendText(pair.client, " b\r\n");
    EXPECT_EQ(Line(s, 257, 1), "RETR a b\r\n");
}

INSTANTIATE_TEST_SUITE_P(PeekOrReadAhead, ReadLine, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ReadingAhead" : "Peeking";
                         });

// Without reading ahead the bytes after a line stay in the socket, for a
// TLS handshake to read; what was read ahead before is still given first.
TEST(ReadLineHandOver, PeekingLeavesTheRestInTheSocket) {
    loopback::Pair pair;
    Session s(pair.served);
    s.readsAhead = true;
    loopback::SendText(pair.client, "USER a\r\nPASS b\r\n");
    EXPECT_EQ(Line(s, 257, 1), "USER a\r\n");
    s.readsAhead = false;
    loopback::SendText(pair.client, "AUTH TLS\r\nhello");
    EXPECT_EQ(Line(s, 257, 1), "PASS b\r\n");
    EXPECT_EQ(Line(s, 257, 1), "AUTH TLS\r\n");
    char rest[16] = {};
    EXPECT_EQ(recv(pair.served, rest, sizeof rest, 0), 5);
    EXPECT_STREQ(rest, "hello");
}

TEST(IsConnectionAlive, TellsAPresentPeerFromAGoneOne) {
    {
        loopback::Pair pair;
        Session s(pair.served);
        EXPECT_EQ(s.IsConnectionAlive(), 1) << "idle peer";
        loopback::SendText(pair.client, "data");
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(s.IsConnectionAlive(), 1) << "unread data waiting";
    }
    {
        loopback::Pair pair;
        Session s(pair.served);
        pair.CloseClient();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(s.IsConnectionAlive(), 0) << "peer closed";
    }
    {
        loopback::Pair pair;
        Session s(pair.served);
        linger hard{1, 0};
        setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        pair.CloseClient();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(s.IsConnectionAlive(), 0) << "peer reset";
    }
    Session none;
    EXPECT_EQ(none.IsConnectionAlive(), 0) << "no socket";
}

TEST(IsConnectionAlive, KeepsANonBlockingSocketNonBlocking) {
    loopback::Pair pair;
    Session s(pair.served);
    ASSERT_EQ(s.SetNonBlocking(true), 0);
    EXPECT_EQ(s.IsConnectionAlive(), 1);
    char c;
    EXPECT_EQ(s.Receive(&c, 1, 0), -1) << "still returns at once";
}

TEST(Transfers, SendWrappedCutsLinesAtWidth) {
    loopback::Pair pair;
    Session s(pair.served);
    EXPECT_EQ(s.SendWrapped("abcdefg", 0, 3), 13);
    EXPECT_EQ(s.SendWrapped("abcdefg", 4, 10), 6) << "length limits the text";
    EXPECT_EQ(s.SendWrapped("abc", 0, 0), -1) << "no width, nothing sent";
    shutdown(pair.served, SHUT_WR);
    EXPECT_EQ(loopback::ReceiveUntilClosed(pair.client), "abc\r\ndef\r\ng\r\nabcd\r\n");
}

TEST(Transfers, ReceiveWaitsOnlyWhenAskedAndReceiveAllStopsAtTheEnd) {
    loopback::Pair pair;
    Session s(pair.served);
    char buffer[16] = {};
    EXPECT_EQ(s.Receive(buffer, sizeof buffer, 1), 0) << "nothing within the wait";

    loopback::SendText(pair.client, "abcd");
    pair.CloseClient();
    EXPECT_EQ(s.ReceiveAll(buffer, 10, 1), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST(Transfers, SendAllAndDrainInput) {
    loopback::Pair pair;
    Session s(pair.served);
    loopback::SendText(pair.client, std::string(1000, 'x') + "\r\n");
    std::this_thread::sleep_for(100ms);
    s.DrainInput();
    EXPECT_EQ(s.HasInput(pair.served), 0);

    std::string big(1 << 20, 'y');
    std::thread reader([&] {
        shutdown(pair.client, SHUT_WR);
        EXPECT_EQ(loopback::ReceiveUntilClosed(pair.client).size(), big.size());
    });
    EXPECT_EQ(s.SendAll(big.data(), static_cast<int>(big.size()), 0), static_cast<int>(big.size()));
    shutdown(pair.served, SHUT_WR);
    reader.join();
}

TEST(Connect, OpensReportsAndRefusesASecondOpen) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    const int port = ntohs(at.sin_port);

    for (int timeout : {-1, 5}) {
        SCOPED_TRACE(timeout);
        Session s;
        EXPECT_EQ(s.Connect(port, "127.0.0.1", timeout, AF_INET, SOCK_STREAM), WSR_OK);
        EXPECT_EQ(s.connectedHost, "127.0.0.1");
        EXPECT_STREQ(s.HostText(), "127.0.0.1");
        EXPECT_STREQ(s.PeerAddressText(), "127.0.0.1");
        EXPECT_EQ(fcntl(s.Socket(), F_GETFL) & O_NONBLOCK, 0) << "connections are used blocking";
        EXPECT_EQ(s.Connect(port, "127.0.0.1", timeout, AF_INET, SOCK_STREAM), WSR_ALREADY_OPEN);
        EXPECT_EQ(s.Disconnect(), WSR_OK);
        EXPECT_EQ(s.Socket(), NO_SOCKET);
        EXPECT_STREQ(s.HostText(), "");
    }

    Session refusing;
    refusing.refuseWith = 7;
    EXPECT_EQ(refusing.Connect(port, "localhost", 5, AF_INET, SOCK_STREAM), 7);
    EXPECT_EQ(refusing.Socket(), NO_SOCKET);
    EXPECT_EQ(refusing.connectedHost, "localhost");
    close(listener);

    Session closedPort;
    EXPECT_EQ(closedPort.Connect(port, "127.0.0.1", 5, AF_INET, SOCK_STREAM), WSR_CONNECT_FAILED);
    EXPECT_EQ(closedPort.Connect(port, "127.0.0.1", -1, AF_INET, SOCK_STREAM), WSR_CONNECT_FAILED);
    EXPECT_EQ(closedPort.Socket(), NO_SOCKET);
    Session unknown;
    EXPECT_EQ(unknown.Connect(port, "no-such-host.invalid", 5, AF_INET, SOCK_STREAM),
              WSR_RESOLVE_FAILED);
}

TEST(ResolveHost, TakesTheHostAfterTheLastAtAndChecksRoom) {
    Session s;
    char out[32];
    EXPECT_EQ(s.ResolveHost("anon@x@localhost", out, sizeof out), WSR_OK);
    EXPECT_STREQ(out, "127.0.0.1");
    EXPECT_EQ(s.ResolveHost("127.0.0.1", out, 10), WSR_OK) << "exactly fits with its terminator";
    EXPECT_EQ(s.ResolveHost("127.0.0.1", out, 9), WSR_ADDRESS_TOO_LONG);
    EXPECT_EQ(s.ResolveHost("user@no-such-host.invalid", out, sizeof out), WSR_HOST_NOT_FOUND);
}

}  // namespace
