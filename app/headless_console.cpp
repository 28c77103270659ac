#include "app/headless_console.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "net/socket.h"

namespace {

// How long one line may wait for a blocked output (a pipe whose reader has
// stopped reading) before it is dropped. A reader that keeps up never makes
// a line wait; one that has stalled costs each line this much at most.
constexpr auto kWriteLimit = std::chrono::milliseconds(250);

std::string TimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    size_t length = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

}  // namespace

HeadlessConsole::HeadlessConsole(int fd) : fd_(fd) {
    IgnoreSigpipe();
}

void HeadlessConsole::OnServerEvent(const char* text, int kind) {
    if (text == nullptr || kind == EVENT_STATE_CHANGED) return;
    AppendLogLine(text, kind == EVENT_LOG_ERROR ? LogStyle::Error : LogStyle::Basic);
}

void HeadlessConsole::AppendLogLine(const char* text, LogStyle style) {
    if (text == nullptr) return;
    std::string line = TimeStamp();
    line += " [";
    line += LogStyleName(style);
    line += "] ";
    line += text;
    line += '\n';

    CIP_CriticalSection guard(&mutex_);
    // The rest of a line cut short is dropped, but the next line must not
    // be glued to its beginning.
    if (lineOpen_) line.insert(line.begin(), '\n');
    const std::size_t written = WriteAll(line.data(), line.size());
    if (written == line.size()) {
        lineOpen_ = false;
    } else if (written > 0) {
        lineOpen_ = true;
    }
}

std::size_t HeadlessConsole::WriteAll(const char* data, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + kWriteLimit;
    std::size_t done = 0;
    while (done < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return done;
        // Waiting for room first keeps a stalled reader from blocking the
        // write itself: log lines are far shorter than PIPE_BUF, so a pipe
        // with room takes one whole.
        pollfd ready{fd_, POLLOUT, 0};
        int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return done;
        ssize_t n = write(fd_, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return done;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}
