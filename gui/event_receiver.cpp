#include "gui/event_receiver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

GuiEventReceiver::GuiEventReceiver(QObject* parent, std::size_t backlogLimit,
                                   int drainIntervalMs)
    : QObject(parent), backlogLimit_(backlogLimit) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &GuiEventReceiver::Wake);
    drainTimer_.setSingleShot(true);
    drainTimer_.setInterval(drainIntervalMs);
    connect(&drainTimer_, &QTimer::timeout, this, &GuiEventReceiver::Drain);
}

GuiEventReceiver::~GuiEventReceiver() {
    Release();
    delete notifier_;
    close(wakeFd_);
}

void GuiEventReceiver::SetHandlers(std::function<void(const std::string&, LogStyle)> logLine,
                                   std::function<void()> refresh) {
    logLine_ = std::move(logLine);
    refresh_ = std::move(refresh);
}

void GuiEventReceiver::OnServerEvent(const char* text, int kind) {
    if (text == nullptr) return;
    // The copy is made before the lock, so that senders hold it only to
    // append.
    Pending pending;
    pending.logged = kind != EVENT_STATE_CHANGED;
    if (pending.logged) pending.text = text;
    if (kind == EVENT_LOG_ERROR) pending.style = LogStyle::Error;

    bool wake = false;
    {
        std::unique_lock<std::mutex> guard(mutex_);
        if (queue_.size() >= backlogLimit_ && !released_) {
            // The window is to take the queue now, not at its next look.
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
            room_.wait(guard, [this] { return released_ || queue_.size() < backlogLimit_; });
        }
        if (released_) return;
        queue_.push_back(std::move(pending));
        wake = !awake_;
        awake_ = true;
    }
    if (wake) {
        const uint64_t one = 1;
        // The counter cannot overflow with a write per wake-up, and a
        // failed write would only delay the events to the next wake-up.
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

bool GuiEventReceiver::Settled() {
    std::lock_guard<std::mutex> guard(mutex_);
    return !awake_;
}

void GuiEventReceiver::Release() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        released_ = true;
        awake_ = false;
        queue_.clear();
    }
    room_.notify_all();
    drainTimer_.stop();
}

void GuiEventReceiver::Wake() {
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    Drain();
}

void GuiEventReceiver::Drain() {
    batch_.clear();
    bool wasFull;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        wasFull = queue_.size() >= backlogLimit_;
        batch_.swap(queue_);
        // Quiet: the next event wakes the GUI thread again.
        if (batch_.empty()) awake_ = false;
    }
    if (wasFull) room_.notify_all();
    if (batch_.empty()) return;
    drainTimer_.start();
    for (const Pending& pending : batch_) {
        if (pending.logged && logLine_) logLine_(pending.text, pending.style);
    }
    batch_.clear();
    if (refresh_) refresh_();
}
