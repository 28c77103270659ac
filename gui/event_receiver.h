// GuiEventReceiver: carries the sessions' events onto the GUI thread
// without making the sessions wait for it. A session thread's call appends
// a copy of the text to a queue under a short lock (waking the GUI thread
// through an eventfd when the queue was empty) and returns; the GUI thread
// takes everything queued in one go, logs each text in the order the calls
// queued them, and refreshes the status at most once per interval, the
// first refresh after a quiet spell at once. Nothing is dropped: when the
// window falls a whole backlog behind, the sending sessions wait for room,
// so memory stays bounded. Release() makes every waiting and later call
// return at once, so the window can go without waiting for a session and
// no session can wait for a window that is gone.
#pragma once

#include <QElapsedTimer>
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
    // The status is refreshed at most this often while events stream in.
    static constexpr int kRefreshIntervalMs = 50;

    // Lives on the thread that creates it (the GUI thread), whose event
    // loop must run for events to be handled.
    explicit GuiEventReceiver(QObject* parent = nullptr, std::size_t backlogLimit = kBacklogLimit,
                              int refreshIntervalMs = kRefreshIntervalMs);
    ~GuiEventReceiver() override;

    // What the GUI thread does with the events: `logLine` for each text
    // of a log event with its style, in order, and `refresh` after the
    // texts of the events before it. GUI thread, before the receiver is
    // attached to the server.
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

    // Handles what is queued. GUI thread.
    void Drain();
    // Refreshes now, or when the interval since the last refresh is over.
    // GUI thread.
    void RefreshSoon();
    void RefreshNow();

    std::function<void(const std::string&, LogStyle)> logLine_;
    std::function<void()> refresh_;
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    const int refreshIntervalMs_;
    QElapsedTimer sinceRefresh_;
    QTimer refreshTimer_;
    // The queue as the GUI thread last took it, kept for its capacity.
    std::vector<Pending> batch_;

    const std::size_t backlogLimit_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::vector<Pending> queue_ GUARDED_BY(mutex_);
    bool wakePending_ GUARDED_BY(mutex_) = false;
    bool released_ GUARDED_BY(mutex_) = false;
};
