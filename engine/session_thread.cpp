#include "engine/session_thread.h"

#include <unistd.h>

#include <cassert>
#include <exception>
#include <utility>

namespace {

// The smallest stack the system takes, rounded up to whole pages.
std::size_t UsableStackSize(std::size_t wanted) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t pageBytes = page > 0 ? static_cast<std::size_t>(page) : 4096;
    const auto least = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    if (wanted < least) wanted = least;
    return (wanted + pageBytes - 1) / pageBytes * pageBytes;
}

}  // namespace

SessionThread::~SessionThread() { assert(!started_ && "a started SessionThread must be joined"); }

bool SessionThread::Start(std::function<void()> body, std::size_t stackBytes) {
    assert(!started_);
    body_ = std::move(body);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attributes, UsableStackSize(stackBytes)) == 0 &&
              pthread_create(&thread_, &attributes, &SessionThread::Main, this) == 0;
    pthread_attr_destroy(&attributes);
    started_ = ok;
    return ok;
}

void SessionThread::Join() {
    assert(started_);
    pthread_join(thread_, nullptr);
    started_ = false;
}

void* SessionThread::Main(void* self) {
    // An exception leaving a thread's body ends the process, as with
    // std::thread; the bodies catch their own.
    static_cast<SessionThread*>(self)->body_();
    return nullptr;
}
