// SessionThread: a joinable thread whose stack size is chosen by its
// creator and whose stack is given back to the system when it is joined.
// A connection thread needs a few dozen KiB of stack; the default
// reservation of 8 MiB per thread only costs address space and makes a
// thousand sessions look larger than they are. std::thread can set
// neither, so this wraps pthread_create with a stack of its own.
//
// Threads: Start and Join belong to one owner (the listener's accept and
// owner threads under its thread-list lock); the body runs on the new
// thread.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

class SessionThread {
public:
    // The stack a connection thread gets: ample for a session's deepest
    // path (TLS handshakes, listings, the resolver), which uses a small
    // part of it. Sanitizers need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    static constexpr std::size_t kSessionStackBytes = 1024 * 1024;
#else
    static constexpr std::size_t kSessionStackBytes = 256 * 1024;
#endif

    SessionThread() = default;
    // A started thread must have been joined.
    ~SessionThread();
    SessionThread(const SessionThread&) = delete;
    SessionThread& operator=(const SessionThread&) = delete;

    // Runs `body` on a new thread with a stack of `stackBytes` (rounded up
    // to what the system accepts) below which a guard page faults. False,
    // starting nothing, when the thread cannot be made (no memory, too
    // many threads). Call once.
    bool Start(std::function<void()> body, std::size_t stackBytes = kSessionStackBytes);
    // True once started and until joined.
    bool Joinable() const { return started_; }
    // Waits for the body to return and unmaps the stack. Only when
    // Joinable().
    void Join();

private:
    static void* Main(void* self);

    std::function<void()> body_;
    pthread_t thread_{};
    char* stack_ = nullptr;  // the mapping: guard page, then the stack
    std::size_t mappedBytes_ = 0;
    std::size_t guardBytes_ = 0;
    bool started_ = false;
};
