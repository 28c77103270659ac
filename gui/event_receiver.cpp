#include "gui/event_receiver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

GuiEventReceiver::GuiEventReceiver(QObject* parent) : QObject(parent) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &GuiEventReceiver::Drain);
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
    // Shared, so that a release while the GUI thread holds the event
    // cannot leave it pointing at a returned caller's stack.
    auto pending = std::make_shared<Pending>();
    pending->logged = kind != EVENT_STATE_CHANGED;
    if (pending->logged) pending->text = text;
    if (kind == EVENT_LOG_ERROR) pending->style = LogStyle::Error;

    std::unique_lock<std::mutex> guard(mutex_);
    if (released_) return;
    queue_.push_back(pending);
    if (!wakePending_) {
        wakePending_ = true;
        const uint64_t one = 1;
        // The counter cannot overflow with one write per wake-up, and a
        // failed write would only delay the events to the next wake-up.
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
    handled_.wait(guard, [&] { return pending->done || released_; });
}

void GuiEventReceiver::Release() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        released_ = true;
        queue_.clear();
    }
    handled_.notify_all();
}

void GuiEventReceiver::Drain() {
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<std::shared_ptr<Pending>> batch;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        batch.swap(queue_);
        wakePending_ = false;
    }
    if (batch.empty()) return;
    // The senders are let go whatever the handlers do; a handler's failure
    // is the window's to show.
    struct LetGo {
        GuiEventReceiver& self;
        std::vector<std::shared_ptr<Pending>>& batch;
        ~LetGo() {
            {
                std::lock_guard<std::mutex> guard(self.mutex_);
                for (auto& pending : batch) pending->done = true;
            }
            self.handled_.notify_all();
        }
    } letGo{*this, batch};
    for (const auto& pending : batch) {
        if (pending->logged && logLine_) logLine_(pending->text, pending->style);
    }
    if (refresh_) refresh_();
}
