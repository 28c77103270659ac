// CIP_WSServer: a TCP listener with one accept thread and one connection
// thread per accepted connection. It keeps a registry of the connections
// being served, refuses connections above maxClients with the session's
// RefuseBusy body, and stops by waking its accept thread with a loop-back
// connection.
//
// Threads: Listen, Start, Stop and destruction belong to the owner's thread
// (the window thread). The accept thread and the connection threads call the
// virtual slots AcceptAddress, CreateSession, ReleaseSession, ReportText and
// Result, so overrides must be safe on those threads.
//
// Destruction and derived classes: a connection thread calls the virtual
// ReleaseSession when it ends, and the accept thread calls AcceptAddress.
// Those overrides vanish once a derived destructor has run, so every derived
// destructor must call ShutdownAndWait() first: it ends the accept thread
// and waits until every connection thread has ended and been joined. The
// base destructor calls it again, which is harmless. No connection thread
// ever outlives its server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <netinet/in.h>

#include "config/access_control.h"
#include "engine/ws_thread.h"
#include "net/socket.h"
#include "net/thread_annotations.h"

class CIP_WSServer : public CIP_Socket {
public:
    CIP_WSServer();
    // Shuts down and waits (see above), then closes a listening socket
    // that is still held.
    ~CIP_WSServer() override;
    CIP_WSServer(const CIP_WSServer&) = delete;
    CIP_WSServer& operator=(const CIP_WSServer&) = delete;

    // Creates a listening IPv4 socket (SO_REUSEADDR) bound to
    // address:port (address in network byte order; port 0 picks a free
    // port, which listenPort then holds). Codes: 0, WSR_SOCKET_FAILED,
    // WSR_BIND_FAILED, WSR_LISTEN_FAILED. While a listening socket is held
    // the new one is made aside: when it fails, it is closed and the held
    // one keeps serving; when it succeeds while the accept thread runs, it
    // is closed too and the result is WSR_ALREADY_OPEN; otherwise it
    // replaces the held one. Owner's thread.
    virtual int Listen(uint16_t port, int backlog, int family, uint32_t address);
    // What must be ready before listening begins, asked by the owner's
    // Start: true, or false with the line to log in `error`, and then no
    // listening starts. The base needs nothing. Owner's thread.
    virtual bool PrepareToListen(std::string& error);
    // Told by the owner's Start once listening on `port` began, and by its
    // Stop and Exit once it ended (also when it never began); `exiting`
    // for Exit, after which the process ends. The base does nothing.
    // Owner's thread; neither may wait for long.
    virtual void ListeningStarted(uint16_t port) { (void)port; }
    virtual void ListeningStopped(bool exiting) { (void)exiting; }
    // Starts the accept thread. 0, or WSR_FAILED when it already runs (or
    // ended by itself and Stop has not been called yet) or cannot start.
    // Owner's thread.
    int Start();
    // Stops accepting: wakes the accept thread with a loop-back connection
    // (or, failing that, by shutting the listening socket down), waits for
    // it at most 30 s and closes the listening socket. Running sessions go
    // on. Returns 0, also when not running. Owner's thread.
    int Stop();
    // Opens and at once closes a connection to hostText:port (a dotted
    // address), waiting at most a few seconds. 0, WSR_SOCKET_FAILED or
    // WSR_CONNECT_FAILED. Any thread.
    int WakeAcceptor(int port, const char* hostText);
    // Add and remove a registry entry under `lock`; both return 1 (also
    // when no entry matches). Any thread.
    int RegisterClient(CIP_WSThread* session, uint64_t threadId, int socket);
    int UnregisterClient(uint64_t threadId);
    // Number of registered connections, read without the lock. Any thread.
    int ClientCount() const { return clientCount.load(); }
    // 1 while the server is being destroyed. Any thread.
    int IsShuttingDown() const { return shuttingDown.load() ? 1 : 0; }
    // Port of the last successful Listen, -1 before. Any thread.
    int ListenPort() const { return listenPort.load(); }
    // The lock that guards the registry; derived classes and their sessions
    // guard their own shared fields with it too (CIP_CriticalSection). Hold
    // it briefly, take no other lock and wait for nothing while holding it.
    // Any thread.
    CIP_InitCriticalSection& ServerLock() { return lock; }
    // The access control that admits connections; sessions record
    // offences in it. Any thread.
    CIP_AccessControl& AccessControl() { return accessControl; }

protected:
    // A new session for an accepted connection, or null. Connection threads.
    virtual CIP_WSThread* CreateSession() = 0;
    // Destroys a session made by CreateSession. Connection threads.
    virtual void ReleaseSession(CIP_WSThread* session) = 0;
    // 0 refuses the peer (dotted address); the base admits all. Accept thread.
    virtual int AcceptAddress(const char* text);
    // Receives texts meant for a log; the base drops them. Any thread.
    virtual void ReportText(const char* text);
    // Every code-returning operation returns through here; unchanged.
    virtual int Result(int code);

    // Sets shuttingDown, stops, and waits until every connection thread has
    // ended and been joined. Sessions are expected to notice shuttingDown;
    // one that never ends keeps this waiting. Idempotent. Owner's thread,
    // first thing in every derived destructor.
    void ShutdownAndWait();

    sockaddr_in localAddress{};
    std::atomic<int> listenSocket{NO_SOCKET};
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    const int maxClients = 20;
    std::atomic<int> clientCount{0};
    int protocol = 0;
    std::atomic<int> listenPort{-1};
    std::atomic<bool> shuttingDown{false};
    const bool closeAfterSession = true;
    CIP_InitCriticalSection lock;
    CIP_AccessControl accessControl;

private:
    struct ClientEntry {
        CIP_WSThread* session;  // not owned
        uint64_t threadId;
        int socket;
    };
    // Hand-over from the accept thread to a connection thread.
    struct ConnectionStart {
        int socket;
        int listenSocket;
        sockaddr_in peerAddress;
        bool busy;
        uint64_t threadId;
    };
    struct ConnectionThread {
        std::thread thread;
    };

    void AcceptLoop();
    void ServeConnection(ConnectionStart start, ConnectionThread* entry);
    // The last step of a connection thread: takes its entry out of the
    // list, leaves its thread to be joined by the next thread that ends
    // (or by ReapFinished or the shutdown), and joins the one that ended
    // before it. So a finished thread's stack and thread-local memory go
    // back when the next session ends, not only at the next connection.
    // Connection threads.
    void EndConnectionThread(ConnectionThread* entry) EXCLUDES(threadsLock);
    // Starts a connection thread for an accepted socket; false when it
    // could not be started. Accept thread.
    bool StartConnection(const ConnectionStart& start);
    // Joins the connection thread that ended last, if not joined yet. Any
    // thread.
    void ReapFinished() EXCLUDES(threadsLock);
    void CloseConnection(int socket);
    // The access control's verdict on a peer address (network order).
    bool AddressAllowed(uint32_t address);
    // Waits for the accept thread to end, at most `milliseconds`; true
    // when it ended.
    bool WaitAcceptEnded(int milliseconds);

    std::list<ClientEntry> registry GUARDED_BY(lock);

    std::thread acceptThread;
    // acceptEnded changes under acceptStateLock, so a waiter cannot miss
    // the signal; it is atomic so it can also be polled.
    std::mutex acceptStateLock;
    std::condition_variable acceptEndedSignal;
    std::atomic<bool> acceptEnded{true};

    CIP_InitCriticalSection threadsLock;
    // Threads of the sessions being served, and the one that ended last.
    std::list<ConnectionThread> connectionThreads GUARDED_BY(threadsLock);
    std::thread lastEnded GUARDED_BY(threadsLock);
    std::atomic<uint64_t> nextThreadId{1};
};
