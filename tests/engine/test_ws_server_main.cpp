// A bare listener for protocol tests: a CIP_WSServer whose sessions use
// the default bodies of CIP_WSThread, on 127.0.0.1.
//
//   ws_test_server --port N [--hold]
//
// Prints "Listening on port N" once listening. With --hold, a session sends
// "Held\r\n" and then stays until its peer leaves or the server shuts down
// (polling once a second, as real sessions do), so tests can keep
// connections registered. SIGTERM or SIGINT destroys the server, which
// waits for every connection thread, and exits with 0.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <netinet/in.h>
#include <pthread.h>

#include "engine/ws_server.h"
#include "engine/ws_thread.h"

namespace {

class HoldingSession : public CIP_WSThread {
public:
    void Run() override {
        Send("Held\r\n", -1, 0);
        char line[100];
        for (;;) {
            int n = ReadLine(line, sizeof line, 1);
            if (Server()->IsShuttingDown()) return;
            if (n == 0 && !IsConnectionAlive()) return;
        }
    }
};

class TestServer : public CIP_WSServer {
public:
    explicit TestServer(bool hold) : hold_(hold) {}
    ~TestServer() override { ShutdownAndWait(); }

protected:
    CIP_WSThread* CreateSession() override {
        if (hold_) return new HoldingSession;
        return new CIP_WSThread;
    }
    void ReleaseSession(CIP_WSThread* session) override { delete session; }

private:
    const bool hold_;
};

}  // namespace

int main(int argc, char** argv) {
    int port = -1;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--hold") == 0) {
            hold = true;
        } else {
            std::fprintf(stderr, "usage: %s --port N [--hold]\n", argv[0]);
            return 2;
        }
    }
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "usage: %s --port N [--hold]\n", argv[0]);
        return 2;
    }

    // Blocked before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto server = std::make_unique<TestServer>(hold);
    int rc = server->Listen(static_cast<uint16_t>(port), 5, AF_INET, htonl(INADDR_LOOPBACK));
    if (rc != WSR_OK) {
        std::fprintf(stderr, "Listen failed with code %d\n", rc);
        return 1;
    }
    if (server->Start() != WSR_OK) {
        std::fprintf(stderr, "Start failed\n");
        return 1;
    }
    std::printf("Listening on port %d\n", server->ListenPort());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    server.reset();
    std::printf("Stopped\n");
    std::fflush(stdout);
    return 0;
}
