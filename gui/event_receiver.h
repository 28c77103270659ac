// GuiEventReceiver: carries the sessions' events onto the GUI thread
// without making the sessions wait for it. A session thread's call appends
// a copy of the text to a queue under a short lock and returns. The first
// event after a quiet spell wakes the GUI thread through an eventfd; from
// then on, while events keep coming, the GUI thread takes the queue once
// per interval without being woken, so a busy server costs it a few
// wake-ups a second rather than two thread switches per event. Each time
// it logs every text in the order the calls queued them, then refreshes
// the status once. Nothing is dropped: when the window falls a whole
// backlog behind, the sending sessions wait for room, so memory stays
// bounded. Release() makes every waiting and later call
// return at once, so the window can go without waiting for a session and
// no session can wait for a window that is gone.
#pragma once

#include <QObject>
#include <QTimer>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/server_control.h"
#include "engine/server_events.h"
#include "net/thread_annotations.h"

class QSocketNotifier;

class GuiEventReceiver : public QObject, public ServerEventReceiver {
    Q_OBJECT
public:
    // Events a window may fall behind by before senders wait for room;
    // far more than a busy server sends between two paints.
    static constexpr std::size_t kBacklogLimit = 20000;
    // How often the queue is taken while events stream in.
    static constexpr int kDrainIntervalMs = 50;

    // Lives on the thread that creates it (the GUI thread), whose event
    // loop must run for events to be handled.
    explicit GuiEventReceiver(QObject* parent = nullptr, std::size_t backlogLimit = kBacklogLimit,
                              int drainIntervalMs = kDrainIntervalMs);
    ~GuiEventReceiver() override;

    // What the GUI thread does with the events: `logLine` for each text
    // of a log event with its style, in order, and `refresh` once after the
    // texts of each batch. GUI thread, before the receiver is attached to
    // the server.
    void SetHandlers(std::function<void(const std::string&, LogStyle)> logLine,
                     std::function<void()> refresh);

    // Session threads: queues the event and returns; waits only while the
    // backlog is full, until the GUI thread makes room or the receiver is
    // released. A null text is ignored.
    void OnServerEvent(const char* text, int kind) override;

    // Whether every event queued so far has been handled, its refresh
    // included. GUI thread.
    bool Settled();

    // Drops what is queued, lets every waiting call go and makes later
    // calls return at once. GUI thread; idempotent.
    void Release();

private:
    struct Pending {
        std::string text;
        LogStyle style = LogStyle::Basic;
        bool logged = false;
    };

    // The eventfd woke the GUI thread: handles what is queued.
    void Wake();
    // Handles what is queued and, if anything was, looks again after the
    // interval; else the next event wakes the GUI thread. GUI thread.
    void Drain();

    std::function<void(const std::string&, LogStyle)> logLine_;
    std::function<void()> refresh_;
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer drainTimer_;
    // The queue as the GUI thread last took it, kept for its capacity.
    std::vector<Pending> batch_;

    const std::size_t backlogLimit_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::vector<Pending> queue_ GUARDED_BY(mutex_);
    // Set from the first event after a quiet spell until the GUI thread
    // finds the queue empty: senders need not wake it meanwhile.
    bool awake_ GUARDED_BY(mutex_) = false;
    bool released_ GUARDED_BY(mutex_) = false;
};
