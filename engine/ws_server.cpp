#include "engine/ws_server.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// How long the accept thread rests after a failure that more resources or
// a moment's patience cure (too many open files, no buffers or memory, a
// connection that vanished before it was taken).
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// How long the accept thread waits for a connection before it joins the
// connection threads that have ended meanwhile.
constexpr int kReapMilliseconds = 1000;

// The longest Stop waits for the accept thread.
constexpr int kStopWaitMilliseconds = 30000;

// The wake-up connection goes to our own listening socket; when it does not
// complete quickly the backlog is full, and Stop shuts the socket down.
constexpr int kWakeConnectMilliseconds = 3000;

// Only a listening socket that is gone (closed, shut down, not a socket)
// ends the accept thread; every other failure is waited out.
bool ListeningSocketGone(int error) {
    return error == EBADF || error == ENOTSOCK || error == EINVAL;
}

}  // namespace

CIP_WSServer::CIP_WSServer() {
    IgnoreSigpipe();
}

CIP_WSServer::~CIP_WSServer() {
    ShutdownAndWait();
    int held = listenSocket.exchange(NO_SOCKET);
    if (held >= 0) {
        if (ShutdownSocket(held, SHUTDOWN_BOTH) != 0) ReportText(SocketErrorText(&held, nullptr));
        CloseSocket(held);
    }
}

bool CIP_WSServer::PrepareToListen(std::string&) { return true; }

int CIP_WSServer::Listen(uint16_t port, int backlog, int family, uint32_t address) {
    const bool dualStack = wantIPv6 && family == AF_INET && address == htonl(INADDR_ANY);
    int s = NO_SOCKET;
    SocketAddress local = SocketAddress::FromIPv4(address, port);
    if (dualStack) {
        // One socket for both families: IPv4 clients come as mapped
        // addresses. A system without IPv6 refuses the socket or the
        // option; IPv4 is then served alone, as without the setting.
        s = CreateStreamSocket(protocol, AF_INET6);
        int off = 0;
        if (s >= 0 && setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            CloseSocket(s);
            s = NO_SOCKET;
        }
        if (s >= 0) local = SocketAddress::Any(AF_INET6, port);
    }
    sockaddr_in plain{};
    plain.sin_family = static_cast<sa_family_t>(family);
    plain.sin_port = htons(port);
    plain.sin_addr.s_addr = address;
    if (s < 0) s = CreateStreamSocket(protocol);
    if (s < 0) return Result(WSR_SOCKET_FAILED);
    // A restart right after an exit must be able to listen on the port again.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool onIPv6 = local.IsIPv6();
    const int bound = onIPv6 ? bind(s, local.Raw(), local.Length())
                             : bind(s, reinterpret_cast<const sockaddr*>(&plain), sizeof plain);
    if (bound != 0) {
        CloseSocket(s);
        return Result(WSR_BIND_FAILED);
    }
    if (listen(s, backlog) != 0) {
        CloseSocket(s);
        return Result(WSR_LISTEN_FAILED);
    }
    // With port 0 the system chose one; the wake-up connection needs it.
    sockaddr_storage named{};
    socklen_t length = sizeof named;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&named), &length) == 0) {
        local = SocketAddress::FromSystem(named);
    }

    int held = listenSocket.load();
    if (held >= 0) {
        // The accept thread works on the held socket; leave it alone.
        if (running.load()) {
            CloseSocket(s);
            return Result(WSR_ALREADY_OPEN);
        }
        ShutdownSocket(held, SHUTDOWN_BOTH);
        CloseSocket(held);
    }
    localAddress = local;
    listeningOnIPv6.store(onIPv6);
    listenSocket.store(s);
    listenPort.store(local.Port());
    return Result(WSR_OK);
}

int CIP_WSServer::Start() {
    if (running.load()) return Result(WSR_FAILED);
    ReapFinished();
    stopRequested.store(false);
    acceptEnded.store(false);
    try {
        acceptThread = std::thread(&CIP_WSServer::AcceptLoop, this);
    } catch (const std::exception&) {
        acceptEnded.store(true);
        return Result(WSR_FAILED);
    }
    running.store(true);
    return Result(WSR_OK);
}

int CIP_WSServer::Stop() {
    if (!running.load()) return Result(WSR_OK);
    running.store(false);
    stopRequested.store(true);

    if (acceptThread.joinable()) {
        if (!WaitAcceptEnded(0)) {
            // No forced termination: when the wake-up cannot be made, a shut
            // down listening socket ends the blocked accept.
            int held = listenSocket.load();
            if (WakeAcceptor(listenPort.load(), "127.0.0.1") != WSR_OK && held >= 0) {
                ShutdownSocket(held, SHUTDOWN_BOTH);
            }
            if (!WaitAcceptEnded(kStopWaitMilliseconds) && held >= 0) {
                ShutdownSocket(held, SHUTDOWN_BOTH);
            }
        }
        acceptThread.join();
    }

    int held = listenSocket.exchange(NO_SOCKET);
    if (held >= 0) {
        ShutdownSocket(held, SHUTDOWN_BOTH);
        CloseSocket(held);
    }
    ReapFinished();
    return Result(WSR_OK);
}

int CIP_WSServer::WakeAcceptor(int port, const char* hostText) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    if (hostText == nullptr || inet_pton(AF_INET, hostText, &target.sin_addr) != 1) {
        return Result(WSR_CONNECT_FAILED);
    }
    int s = CreateStreamSocket();
    if (s < 0) return Result(WSR_SOCKET_FAILED);

    int code = WSR_OK;
    int flags = fcntl(s, F_GETFL);
    bool connected = flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
    if (connected && connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        connected = false;
        if (errno == EINPROGRESS || errno == EINTR) {
            pollfd entry{s, POLLOUT, 0};
            int n;
            while ((n = poll(&entry, 1, kWakeConnectMilliseconds)) < 0 && errno == EINTR) {
            }
            int pending = 1;
            socklen_t length = sizeof pending;
            connected = n == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 &&
                        pending == 0;
        }
    }
    if (!connected) {
        ReportText(SocketErrorText(&s, nullptr));
        code = WSR_CONNECT_FAILED;
    }
    if (ShutdownSocket(s, SHUTDOWN_BOTH) != 0) ReportText(SocketErrorText(&s, nullptr));
    if (CloseSocket(s) != 0) ReportText(SocketErrorText(&s, nullptr));
    return Result(code);
}

int CIP_WSServer::RegisterClient(CIP_WSThread* session, uint64_t threadId, int socket) {
    CIP_CriticalSection guard(&lock);
    registry.push_front(ClientEntry{session, threadId, socket});
    clientCount.fetch_add(1);
    return 1;
}

int CIP_WSServer::UnregisterClient(uint64_t threadId) {
    CIP_CriticalSection guard(&lock);
    for (auto it = registry.begin(); it != registry.end(); ++it) {
        if (it->threadId == threadId) {
            registry.erase(it);
            clientCount.fetch_sub(1);
            break;
        }
    }
    return 1;
}

int CIP_WSServer::ServedCount() {
    CIP_CriticalSection guard(&lock);
    return servedCount;
}

CIP_WSServer::ConnectionLimit CIP_WSServer::CurrentConnectionLimit() { return {}; }

bool CIP_WSServer::TakePlace(const ConnectionLimit& limit) {
    CIP_CriticalSection guard(&lock);
    if (!limit.applied) {
        if (clientCount.load() >= maxClients) return false;
    } else if (limit.limit != 0 && static_cast<uint32_t>(servedCount) >= limit.limit) {
        return false;
    }
    ++servedCount;
    return true;
}

void CIP_WSServer::ReleasePlace() {
    CIP_CriticalSection guard(&lock);
    --servedCount;
}

int CIP_WSServer::AcceptAddress(const char*) {
    return 1;
}

void CIP_WSServer::ReportText(const char*) {}

int CIP_WSServer::Result(int code) {
    return code;
}

void CIP_WSServer::ShutdownAndWait() {
    shuttingDown.store(true);
    Stop();
    for (;;) {
        std::list<ConnectionThread> all;
        {
            CIP_CriticalSection guard(&threadsLock);
            all.splice(all.end(), connectionThreads);
        }
        if (all.empty()) break;
        for (ConnectionThread& entry : all) {
            if (entry.thread.Joinable()) entry.thread.Join();
        }
    }
}

void CIP_WSServer::AcceptLoop() {
    while (!stopRequested.load()) {
        int listening = listenSocket.load();
        if (listening < 0) {
            ReportText("ServerSocket invalid");
            break;
        }
        ReapFinished();
        // Between connections the accept thread wakes now and then, so the
        // threads of ended sessions are joined and their stacks unmapped
        // even when no new connection comes.
        pollfd waiting{listening, POLLIN, 0};
        const int ready = poll(&waiting, 1, kReapMilliseconds);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;

        sockaddr_storage accepted{};
        socklen_t length = sizeof accepted;
        int s = accept4(listening, reinterpret_cast<sockaddr*>(&accepted), &length, SOCK_CLOEXEC);
        int error = errno;
        if (stopRequested.load()) {
            if (s >= 0) CloseConnection(s);
            break;
        }
        if (s < 0) {
            if (ListeningSocketGone(error)) break;
            if (error != EINTR) std::this_thread::sleep_for(kAcceptPause);
            continue;
        }

        // A mapped IPv4 peer of the dual-stack socket becomes plain IPv4 here.
        const SocketAddress peer = SocketAddress::FromSystem(accepted);
        char text[ADDRESS_TEXT_SIZE];
        peer.Text(text, sizeof text);
        if (AcceptAddress(text) == 0 || !AddressAllowed(peer)) {
            CloseConnection(s);
            continue;
        }
        ConnectionStart start{s, listening, peer, !TakePlace(CurrentConnectionLimit()),
                              nextThreadId.fetch_add(1)};
        if (!StartConnection(start)) {
            if (!start.busy) ReleasePlace();
            CloseConnection(s);
        }
    }
    {
        std::lock_guard<std::mutex> guard(acceptStateLock);
        acceptEnded.store(true);
    }
    acceptEndedSignal.notify_all();
}

bool CIP_WSServer::StartConnection(const ConnectionStart& start) {
    CIP_CriticalSection guard(&threadsLock);
    try {
        connectionThreads.emplace_back();
    } catch (const std::exception&) {
        return false;
    }
    ConnectionThread& entry = connectionThreads.back();
    bool started = false;
    try {
        started = entry.thread.Start([this, start, finished = &entry.finished] {
            ServeConnection(start, finished);
        });
    } catch (const std::exception&) {
        started = false;
    }
    if (!started) connectionThreads.pop_back();
    return started;
}

void CIP_WSServer::ServeConnection(ConnectionStart start, std::atomic<bool>* finished) {
    CIP_WSThread* session = nullptr;
    try {
        session = CreateSession();
    } catch (const std::exception&) {
        session = nullptr;
    }
    if (session == nullptr) {
        if (!start.busy) ReleasePlace();
        CloseConnection(start.socket);
        finished->store(true);
        return;
    }
    session->sock = start.socket;
    session->listenSocket = start.listenSocket;
    session->peerAddress = start.peerAddress;
    session->server = this;
    RegisterClient(session, start.threadId, start.socket);
    session->SetReceiveTimeout(30000);
    session->SetSendTimeout(30000);
    // Replies are whole lines in one send each; without this, Nagle's
    // algorithm holds a reply that follows another closely (150 then 226)
    // until the client's delayed acknowledgement, some 40 ms per command.
    int noDelay = 1;
    setsockopt(start.socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    if (!shuttingDown.load()) {
        // A failing session ends itself, never the server.
        try {
            if (start.busy) {
                session->RefuseBusy();
            } else if (session->OnConnected(start.socket, "") == 0) {
                session->Run();
            }
        } catch (const std::exception&) {
        }
    }

    // The place is free before the client sees the connection close, so
    // a client that reconnects at once is served.
    if (!start.busy) ReleasePlace();
    // The session may have closed the connection itself; its descriptor
    // number may already belong to someone else then.
    if ((closeAfterSession || shuttingDown.load() || start.busy) && session->sock >= 0) {
        session->ShutdownSocket(session->sock, SHUTDOWN_BOTH);
        session->CloseSocket(session->sock);
        session->sock = NO_SOCKET;
    }
    UnregisterClient(start.threadId);
    ReleaseSession(session);
    finished->store(true);
}

void CIP_WSServer::ReapFinished() {
    std::list<ConnectionThread> done;
    bool allEnded;
    {
        CIP_CriticalSection guard(&threadsLock);
        for (auto it = connectionThreads.begin(); it != connectionThreads.end();) {
            auto next = std::next(it);
            if (it->finished.load()) done.splice(done.end(), connectionThreads, it);
            it = next;
        }
        allEnded = connectionThreads.empty();
    }
    if (done.empty()) return;
    for (ConnectionThread& entry : done) entry.thread.Join();
    done.clear();
    // Every connection ended: what the sessions and their threads left
    // free in the allocator goes back to the system, so an idle server is
    // as small after a crowd as before it.
    if (allEnded) malloc_trim(0);
}

void CIP_WSServer::CloseConnection(int socket) {
    ShutdownSocket(socket, SHUTDOWN_BOTH);
    CloseSocket(socket);
}

bool CIP_WSServer::AddressAllowed(const SocketAddress& address) {
    return accessControl.AdmitsPeer(address) != 0;
}

bool CIP_WSServer::WaitAcceptEnded(int milliseconds) {
    std::unique_lock<std::mutex> guard(acceptStateLock);
    return acceptEndedSignal.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                      [this] { return acceptEnded.load(); });
}
