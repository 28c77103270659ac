#include "engine/ws_server.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tests/engine/loopback.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Counters {
    std::atomic<int> created{0};
    std::atomic<int> runs{0};
    std::atomic<int> released{0};
};

// Greets, echoes lines and stays until the peer leaves or the server shuts
// down, polling once a second like a real session.
class EchoSession : public CIP_WSThread {
public:
    explicit EchoSession(Counters* counters) : counters_(counters) {}
    void Run() override {
        counters_->runs.fetch_add(1);
        Send("hi\r\n", -1, 0);
        char line[100];
        for (;;) {
            int n = ReadLine(line, sizeof line, 1);
            if (Server()->IsShuttingDown()) {
                Send("bye\r\n", -1, 0);
                return;
            }
            if (n > 0) {
                Send(line, n, 0);
            } else if (!IsConnectionAlive()) {
                return;
            }
        }
    }

private:
    Counters* counters_;
};

class Server : public CIP_WSServer {
public:
    explicit Server(Counters* counters) : counters_(counters) {}
    ~Server() override { ShutdownAndWait(); }
    CIP_AccessControl& Access() { return accessControl; }
    std::atomic<bool> refuseAddresses{false};

protected:
    CIP_WSThread* CreateSession() override {
        counters_->created.fetch_add(1);
        return new EchoSession(counters_);
    }
    void ReleaseSession(CIP_WSThread* session) override {
        delete session;
        counters_->released.fetch_add(1);
    }
    int AcceptAddress(const char* text) override {
        {
            std::lock_guard<std::mutex> guard(seenLock);
            seen.push_back(text);
        }
        return refuseAddresses.load() ? 0 : 1;
    }

public:
    // The peer texts AcceptAddress was given, in order.
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> guard(seenLock);
        return seen;
    }

private:
    Counters* counters_;
    std::mutex seenLock;
    std::vector<std::string> seen;
};

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + 20s;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

uint32_t Address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

int ListenAndStart(Server& server, const char* address = "127.0.0.1") {
    EXPECT_EQ(server.Listen(0, 5, AF_INET, Address(address)), WSR_OK);
    EXPECT_EQ(server.Start(), WSR_OK);
    return server.ListenPort();
}

TEST(WSServer, StopClosesTheListenerButRunningSessionsGoOn) {
    Counters counters;
    Server server(&counters);
    const int port = ListenAndStart(server);
    ASSERT_GT(port, 0);
    EXPECT_EQ(server.Start(), WSR_FAILED) << "already running";

    int client = loopback::ConnectTo(port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(loopback::ReceiveUntil(client, "\r\n"), "hi\r\n");
    EXPECT_EQ(server.ClientCount(), 1);

    EXPECT_EQ(server.Stop(), WSR_OK);
    EXPECT_EQ(server.Stop(), WSR_OK) << "second Stop does nothing";
    EXPECT_EQ(loopback::ConnectTo(port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);

    loopback::SendText(client, "ping\r\n");
    EXPECT_EQ(loopback::ReceiveUntil(client, "\r\n"), "ping\r\n");
    close(client);
    EXPECT_TRUE(WaitFor([&] { return server.ClientCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return counters.released.load() == 1; }));

    // A new run after Stop.
    const int again = ListenAndStart(server);
    client = loopback::ConnectTo(again);
    ASSERT_GE(client, 0);
    EXPECT_EQ(loopback::ReceiveUntil(client, "\r\n"), "hi\r\n");
    close(client);
}

// With IPv6 on, the wildcard listens on [::] for both families: an IPv4
// client comes as a mapped address and is seen as the plain IPv4 one. Off,
// nothing listens on IPv6.
TEST(WSServer, TheDualStackListenerSeesIPv4ClientsAsIPv4) {
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loopback6{};
    loopback6.sin6_family = AF_INET6;
    loopback6.sin6_addr = in6addr_loopback;
    const bool usable =
        probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6) == 0;
    if (probe >= 0) close(probe);
    if (!usable) GTEST_SKIP() << "IPv6 is disabled on this machine (no ::1)";
    for (bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "ipv6 on" : "ipv6 off");
        Counters counters;
        Server server(&counters);
        server.SetIPv6(ipv6);
        const int port = ListenAndStart(server, "0.0.0.0");
        EXPECT_EQ(server.ListeningOnIPv6(), ipv6);
        int client = loopback::ConnectTo(port);
        ASSERT_GE(client, 0);
        EXPECT_EQ(loopback::ReceiveUntil(client, "\r\n"), "hi\r\n");
        close(client);
        int client6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        loopback6.sin6_port = htons(static_cast<uint16_t>(port));
        const bool reached =
            connect(client6, reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6) == 0;
        EXPECT_EQ(reached, ipv6);
        if (reached) {
            EXPECT_EQ(loopback::ReceiveUntil(client6, "\r\n"), "hi\r\n");
        }
        close(client6);
        EXPECT_TRUE(WaitFor([&] { return counters.released.load() == (ipv6 ? 2 : 1); }));
        const std::vector<std::string> expected =
            ipv6 ? std::vector<std::string>{"127.0.0.1", "::1"}
                 : std::vector<std::string>{"127.0.0.1"};
        EXPECT_EQ(server.Seen(), expected);
    }
}

TEST(WSServer, ListenWhileListeningLeavesTheWorkingListenerAlone) {
    Counters counters;
    Server server(&counters);
    const int port = ListenAndStart(server);
    const int descriptors = loopback::CountOpenDescriptors();

    EXPECT_EQ(server.Listen(static_cast<uint16_t>(port), 5, AF_INET, Address("127.0.0.1")),
              WSR_BIND_FAILED);
    EXPECT_EQ(server.Listen(0, 5, AF_INET, Address("127.0.0.1")), WSR_ALREADY_OPEN)
        << "another port while the accept thread runs";
    EXPECT_EQ(server.ListenPort(), port);
    EXPECT_EQ(loopback::CountOpenDescriptors(), descriptors) << "the new sockets were closed";

    for (int i = 0; i < 2; ++i) {
        int client = loopback::ConnectTo(port);
        ASSERT_GE(client, 0);
        EXPECT_EQ(loopback::ReceiveUntil(client, "\r\n"), "hi\r\n");
        close(client);
    }
}

TEST(WSServer, ListenAgainBeforeStartReplacesTheSocket) {
    Counters counters;
    Server server(&counters);
    ASSERT_EQ(server.Listen(0, 5, AF_INET, Address("127.0.0.1")), WSR_OK);
    const int first = server.ListenPort();
    ASSERT_EQ(server.Listen(0, 5, AF_INET, Address("127.0.0.1")), WSR_OK);
    EXPECT_NE(server.ListenPort(), first);
    EXPECT_EQ(loopback::ConnectTo(first), -1) << "the first socket is closed";
}

// Destroying a server whose accept thread is blocked in accept returns
// within the stop bound and leaves no thread or socket behind, also when the
// loop-back wake-up cannot reach the listener (bound to 127.0.0.2).
TEST(WSServer, DestructionEndsTheAcceptThreadAndClosesTheListener) {
    struct Case {
        const char* address;
        bool start;
    };
    for (const Case& c : {Case{"127.0.0.1", true}, Case{"127.0.0.2", true}, Case{"127.0.0.1", false}}) {
        SCOPED_TRACE(std::string(c.address) + (c.start ? " started" : " listening only"));
        const int threads = loopback::CountThreads();
        const int descriptors = loopback::CountOpenDescriptors();
        Counters counters;
        auto server = std::make_unique<Server>(&counters);
        ASSERT_EQ(server->Listen(0, 5, AF_INET, Address(c.address)), WSR_OK);
        if (c.start) {
            ASSERT_EQ(server->Start(), WSR_OK);
            std::this_thread::sleep_for(100ms);  // let it block in accept
        }
        EXPECT_GT(loopback::CountThreads(), threads);

        const auto began = Clock::now();
        server.reset();
        EXPECT_LT(Clock::now() - began, 30s);
        EXPECT_EQ(loopback::CountThreads(), threads);
        EXPECT_EQ(loopback::CountOpenDescriptors(), descriptors);
    }
}

// No connection thread outlives its server: destruction lets every session
// see the shutdown, waits for it, and releases it through the derived class.
TEST(WSServer, DestructionEndsEverySessionFirst) {
    const int threads = loopback::CountThreads();
    Counters counters;
    auto server = std::make_unique<Server>(&counters);
    const int port = ListenAndStart(*server);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(loopback::ConnectTo(port));
        ASSERT_GE(clients.back(), 0);
        EXPECT_EQ(loopback::ReceiveUntil(clients.back(), "\r\n"), "hi\r\n");
    }
    EXPECT_EQ(server->ClientCount(), 3);

    server.reset();
    EXPECT_EQ(counters.released.load(), 3);
    EXPECT_EQ(loopback::CountThreads(), threads);
    for (int client : clients) {
        EXPECT_EQ(loopback::ReceiveUntilClosed(client), "bye\r\n");
        close(client);
    }
}

TEST(WSServer, RefusedPeersAreClosedWithoutASession) {
    for (bool byAccessControl : {false, true}) {
        SCOPED_TRACE(byAccessControl ? "access control" : "AcceptAddress");
        Counters counters;
        Server server(&counters);
        if (byAccessControl) {
            server.Access().AddRangeText(ACL_DENIED, "127.0.0.1", nullptr);
        } else {
            server.refuseAddresses = true;
        }
        const int port = ListenAndStart(server);
        int client = loopback::ConnectTo(port);
        ASSERT_GE(client, 0);
        EXPECT_EQ(loopback::ReceiveUntilClosed(client), "");
        close(client);
        EXPECT_EQ(counters.created.load(), 0);
    }
}

TEST(WSServer, RegistryCountsEntriesByThreadId) {
    Counters counters;
    Server server(&counters);
    EchoSession a(&counters), b(&counters);
    EXPECT_EQ(server.RegisterClient(&a, 7, 10), 1);
    EXPECT_EQ(server.RegisterClient(&b, 8, 11), 1);
    EXPECT_EQ(server.ClientCount(), 2);
    EXPECT_EQ(server.UnregisterClient(99), 1) << "unknown id";
    EXPECT_EQ(server.ClientCount(), 2);
    EXPECT_EQ(server.UnregisterClient(7), 1);
    EXPECT_EQ(server.UnregisterClient(7), 1);
    EXPECT_EQ(server.ClientCount(), 1);
    server.UnregisterClient(8);
    EXPECT_EQ(server.ClientCount(), 0);
}

}  // namespace
