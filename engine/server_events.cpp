#include "engine/server_events.h"

void ServerEvents::Attach(ServerEventReceiver* receiver) {
    std::lock_guard<std::mutex> guard(mutex_);
    receiver_ = receiver;
}

void ServerEvents::Detach() {
    std::unique_lock<std::mutex> guard(mutex_);
    receiver_ = nullptr;
    idle_.wait(guard, [this] { return callsInProgress_ == 0; });
}

void ServerEvents::Send(const char* text, int kind) {
    if (text == nullptr) return;
    ServerEventReceiver* receiver;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        receiver = receiver_;
        if (receiver == nullptr) return;
        ++callsInProgress_;
    }
    // The call runs without the lock, so that several sessions may report
    // at once and the receiver may take its own locks.
    receiver->OnServerEvent(text, kind);
    std::lock_guard<std::mutex> guard(mutex_);
    if (--callsInProgress_ == 0) idle_.notify_all();
}
