// The one way sessions tell the owner's console what happens: a call from
// a session thread carrying a text and a kind. The desktop window and the
// headless console are receivers; each takes the events in the order they
// are sent and loses none.
#pragma once

#include <condition_variable>
#include <mutex>

#include "net/thread_annotations.h"

// Append the text to the log, then refresh the status view.
constexpr int EVENT_LOG_TEXT = 0x1001;
// A session's transfer state changed: refresh the status view only.
constexpr int EVENT_STATE_CHANGED = 0x1002;
// As EVENT_LOG_TEXT, the line in the error style ("TarnHold error").
constexpr int EVENT_LOG_ERROR = 0x1003;

class ServerEventReceiver {
public:
    virtual ~ServerEventReceiver() = default;
    // Called on a session thread; returns once the receiver has taken the
    // event (handled it, or queued a copy to handle in order). The text is
    // valid only during the call. Any kind other than
    // EVENT_STATE_CHANGED and EVENT_LOG_ERROR is handled like EVENT_LOG_TEXT.
    virtual void OnServerEvent(const char* text, int kind) = 0;
};

class ServerEvents {
public:
    // Makes `receiver` the target of every later Send, replacing any
    // earlier one. Owner's thread.
    void Attach(ServerEventReceiver* receiver);

    // Removes the receiver and returns once no call to it is in progress,
    // so the receiver may then be destroyed. A receiver whose calls may
    // wait for the owner's thread must first make them return at once, or
    // this would wait for ever. Owner's thread.
    void Detach();

    // Hands the event to the receiver and returns once it has taken it. A
    // null text is ignored; without a receiver it returns at once. Any
    // thread.
    void Send(const char* text, int kind);

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    ServerEventReceiver* receiver_ GUARDED_BY(mutex_) = nullptr;
    int callsInProgress_ GUARDED_BY(mutex_) = 0;
};
