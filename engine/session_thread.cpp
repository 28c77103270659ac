#include "engine/session_thread.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <utility>

namespace {

std::size_t PageBytes() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

// At least the system's smallest stack, in whole pages.
std::size_t UsableStackSize(std::size_t wanted) {
    const auto least = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    if (wanted < least) wanted = least;
    const std::size_t page = PageBytes();
    return (wanted + page - 1) / page * page;
}

}  // namespace

SessionThread::~SessionThread() { assert(!started_ && "a started SessionThread must be joined"); }

bool SessionThread::Start(std::function<void()> body, std::size_t stackBytes) {
    assert(!started_);
    body_ = std::move(body);
    // The stack is mapped here and unmapped at Join rather than left to
    // the thread library, which keeps up to 40 MiB of finished threads'
    // stacks for reuse: with small stacks that is a hundred and more of
    // them, each still holding the pages its thread touched last.
    guardBytes_ = PageBytes();
    mappedBytes_ = UsableStackSize(stackBytes) + guardBytes_;
    void* base = mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return false;
    stack_ = static_cast<char*>(base);
    // A guard page below the stack, as the thread library would place:
    // an overflow faults instead of writing into a neighbour.
    bool ok = mprotect(stack_, guardBytes_, PROT_NONE) == 0;
    pthread_attr_t attributes;
    if (ok && pthread_attr_init(&attributes) == 0) {
        ok = pthread_attr_setstack(&attributes, stack_ + guardBytes_, mappedBytes_ - guardBytes_) ==
                 0 &&
             pthread_create(&thread_, &attributes, &SessionThread::Main, this) == 0;
        pthread_attr_destroy(&attributes);
    } else {
        ok = false;
    }
    if (!ok) {
        munmap(stack_, mappedBytes_);
        stack_ = nullptr;
    }
    started_ = ok;
    return ok;
}

void SessionThread::Join() {
    assert(started_);
    pthread_join(thread_, nullptr);
    munmap(stack_, mappedBytes_);
    stack_ = nullptr;
    started_ = false;
}

void* SessionThread::Main(void* self) {
    // An exception leaving a thread's body ends the process, as with
    // std::thread; the bodies catch their own.
    static_cast<SessionThread*>(self)->body_();
    return nullptr;
}
