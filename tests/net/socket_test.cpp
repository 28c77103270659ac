#include "net/socket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Both ends of a connected stream socket pair.
struct Ends {
    int a = -1;
    int b = -1;
    Ends() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~Ends() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void CloseB() {
        close(b);
        b = -1;
    }
};

TEST(SocketErrorText, ChoosesTheTableByWhetherThePendingErrorCouldBeRead) {
    int error = -5;
    int none = NO_SOCKET;
    EXPECT_STREQ(SocketErrorText(&none, &error), "Warning: Socket error is WSAENOTSOCK");
    EXPECT_EQ(error, 10038);

    int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_STREQ(SocketErrorText(&file, nullptr), "Warning: Socket error is WSAENOTSOCK")
        << "not a socket";
    close(file);

    Ends healthy;
    EXPECT_STREQ(SocketErrorText(&healthy.a, &error), "Warning: Last error not available");
    EXPECT_EQ(error, 0);

    // A refused non-blocking connect leaves ECONNREFUSED pending.
    int listener = CreateStreamSocket();
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    close(listener);  // nothing listens on that port now
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at), -1);
    ASSERT_EQ(errno, EINPROGRESS);
    pollfd entry{s, POLLOUT, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_STREQ(SocketErrorText(&s, &error), "Warning: Connection refused.");
    EXPECT_EQ(error, 10061);
    close(s);
}

TEST(SocketErrorText, TablesKeepTheirOwnTextsAndFallBacks) {
    struct Case {
        int number;
        const char* shortText;
        const char* longText;
    };
    const Case cases[] = {
        {10022, "Warning: Socket error is WSAEINVAL", "Warning: Invalid argument"},
        {10093, "Warning: Socket error is WSANOTINITIALISED",
         "Warning: A successful WSAStartup has not yet been performed."},
        {10061, "Warning: A Socket error occurred.", "Warning: Connection refused."},
        {8, "Warning: A Socket error occurred.", "Warning: Insufficient memory available."},
        {12345, "Warning: A Socket error occurred.", "Warning: Unknown socket error."},
        {-1, "Warning: A Socket error occurred.", "Warning: Unknown socket error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_STREQ(SocketErrorShortText(c.number), c.shortText);
        EXPECT_STREQ(SocketErrorLongText(c.number), c.longText);
    }
}

TEST(SocketErrorNumber, MapsErrnoOntoWindowsSocketsNumbers) {
    const std::pair<int, int> cases[] = {
        {0, 0},           {EINTR, 10004},        {EINVAL, 10022},        {EMFILE, 10024},
        {EAGAIN, 10035},  {EINPROGRESS, 10036},  {ENOTSOCK, 10038},      {EBADF, 10038},
        {ENOMEM, 8},      {ECONNRESET, 10054},   {ECONNREFUSED, 10061},  {EHOSTUNREACH, 10065},
        {EADDRINUSE, 10048}, {ENOENT, 20000 + ENOENT},
    };
    for (const auto& [errnoValue, number] : cases) {
        EXPECT_EQ(SocketErrorNumber(errnoValue), number) << "errno " << errnoValue;
    }
}

TEST(CIP_Socket, SelectReadableReportsReadinessWithZeroMeaningReady) {
    CIP_Socket s;
    Ends idle;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(s.SelectReadable(idle.a, 0, 0), 1) << "zero time-out polls";
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_EQ(s.SelectReadable(idle.a, 0, 1000), 1) << "nothing within a millisecond";

    Ends data;
    ASSERT_EQ(s.SendBytes(data.b, "x", 1, 0), 1);
    EXPECT_EQ(s.SelectReadable(data.a, 1, 0), 0);

    Ends closed;
    closed.CloseB();
    EXPECT_EQ(s.SelectReadable(closed.a, 1, 0), 0) << "an orderly close is readable";

    EXPECT_EQ(s.SelectReadable(NO_SOCKET, 0, 0), 1);
    int gone = dup(idle.a);
    close(gone);
    EXPECT_EQ(s.SelectReadable(gone, 0, 0), 1) << "a closed descriptor is not ready";
}

TEST(CIP_Socket, HasInputOnlyForWaitingBytes) {
    CIP_Socket s;
    EXPECT_EQ(s.HasInput(NO_SOCKET), 0);
    Ends ends;
    EXPECT_EQ(s.HasInput(ends.a), 0);
    s.SendBytes(ends.b, "xy", 2, 0);
    EXPECT_EQ(s.HasInput(ends.a), 1);
    char peeked[2];
    EXPECT_EQ(s.ReceiveBytes(ends.a, peeked, 2, MSG_PEEK), 2);
    EXPECT_EQ(s.HasInput(ends.a), 1) << "a peek leaves the bytes";
    int gone = dup(ends.a);
    close(gone);
    EXPECT_EQ(s.HasInput(gone), 0);
}

TEST(CIP_Socket, SendingToAClosedPeerFailsWithoutSigpipe) {
    // Not ignored here: only the send flags keep the process alive.
    std::signal(SIGPIPE, SIG_DFL);
    CIP_Socket s;
    Ends ends;
    ends.CloseB();
    EXPECT_EQ(s.SendBytes(ends.a, "x", 1, 0), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(s.ReceiveBytes(ends.a, nullptr, 0, 0), 0);
}

TEST(CIP_Socket, SocketsAreCloseOnExecAndCloseReportsBadHandles) {
    CIP_Socket s;
    int fd = CreateStreamSocket();
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(s.ShutdownSocket(fd, SHUTDOWN_BOTH), -1) << "not connected";
    EXPECT_EQ(s.CloseSocket(fd), 0);
    EXPECT_EQ(s.CloseSocket(fd), -1);
    EXPECT_EQ(s.CloseSocket(NO_SOCKET), -1);
    EXPECT_EQ(s.OnConnected(fd, "127.0.0.1"), 0);
}

}  // namespace
