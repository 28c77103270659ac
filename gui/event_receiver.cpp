#include "gui/event_receiver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

GuiEventReceiver::GuiEventReceiver(QObject* parent, std::size_t backlogLimit,
                                   int refreshIntervalMs)
    : QObject(parent), refreshIntervalMs_(refreshIntervalMs), backlogLimit_(backlogLimit) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &GuiEventReceiver::Drain);
    refreshTimer_.setSingleShot(true);
    connect(&refreshTimer_, &QTimer::timeout, this, &GuiEventReceiver::RefreshNow);
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
        room_.wait(guard, [this] { return released_ || queue_.size() < backlogLimit_; });
        if (released_) return;
        queue_.push_back(std::move(pending));
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake) {
        const uint64_t one = 1;
        // The counter cannot overflow with one write per wake-up, and a
        // failed write would only delay the events to the next wake-up.
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

bool GuiEventReceiver::Settled() {
    std::lock_guard<std::mutex> guard(mutex_);
    return queue_.empty() && !refreshTimer_.isActive();
}

void GuiEventReceiver::Release() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        released_ = true;
        queue_.clear();
    }
    room_.notify_all();
    refreshTimer_.stop();
}

void GuiEventReceiver::Drain() {
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    batch_.clear();
    bool wasFull;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        wasFull = queue_.size() >= backlogLimit_;
        batch_.swap(queue_);
        wakePending_ = false;
    }
    if (wasFull) room_.notify_all();
    if (batch_.empty()) return;
    for (const Pending& pending : batch_) {
        if (pending.logged && logLine_) logLine_(pending.text, pending.style);
    }
    batch_.clear();
    RefreshSoon();
}

void GuiEventReceiver::RefreshSoon() {
    // A refresh already due reads the store after these events too.
    if (refreshTimer_.isActive()) return;
    const qint64 since = sinceRefresh_.isValid() ? sinceRefresh_.elapsed() : refreshIntervalMs_;
    if (since >= refreshIntervalMs_) {
        RefreshNow();
    } else {
        refreshTimer_.start(static_cast<int>(refreshIntervalMs_ - since));
    }
}

void GuiEventReceiver::RefreshNow() {
    sinceRefresh_.start();
    if (refresh_) refresh_();
}
