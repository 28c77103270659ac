// GuiEventReceiver: carries the sessions' synchronous events onto the GUI
// thread. A session thread's call queues a copy of the text, wakes the GUI
// thread through an eventfd and waits until the GUI thread has handled it;
// the GUI thread handles everything that is queued in one go (each text
// logged in order, then one status refresh) and then lets those senders
// go. Release() makes every waiting and later call return at once, so the
// window can go without waiting for a session and no session can wait for
// a window that is gone.
#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
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
    // Lives on the thread that creates it (the GUI thread), whose event
    // loop must run for calls to be handled.
    explicit GuiEventReceiver(QObject* parent = nullptr);
    ~GuiEventReceiver() override;

    // What the GUI thread does with the events: `logLine` for each text
    // of a log event with its style, in order, then `refresh` once for the
    // batch. GUI thread, before the receiver is attached to the server.
    void SetHandlers(std::function<void(const std::string&, LogStyle)> logLine,
                     std::function<void()> refresh);

    // Session threads: returns once the GUI thread has handled the event
    // or the receiver has been released. A null text is ignored.
    void OnServerEvent(const char* text, int kind) override;

    // Lets every waiting call go and makes later calls return at once.
    // GUI thread; idempotent.
    void Release();

private:
    struct Pending {
        std::string text;
        LogStyle style = LogStyle::Basic;
        bool logged = false;
        bool done = false;
    };

    // Handles what is queued. GUI thread.
    void Drain();

    std::function<void(const std::string&, LogStyle)> logLine_;
    std::function<void()> refresh_;
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;

    std::mutex mutex_;
    std::condition_variable handled_;
    std::vector<std::shared_ptr<Pending>> queue_ GUARDED_BY(mutex_);
    bool wakePending_ GUARDED_BY(mutex_) = false;
    bool released_ GUARDED_BY(mutex_) = false;
};
