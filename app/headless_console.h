// The console of a headless run: every log line the desktop window would
// show goes to standard output as one line, "<date> <time> [<style>] <text>",
// written at once. A line that cannot be written (closed pipe, full disk,
// a reader that stopped reading) is dropped; serving never waits long for
// standard output.
#pragma once

#include <cstddef>

#include <unistd.h>

#include "config/access_control.h"
#include "engine/server_control.h"
#include "engine/server_events.h"
#include "net/thread_annotations.h"

class HeadlessConsole : public ServerEventReceiver, public ServerLog {
public:
    // Writes to `fd` (standard output unless a test passes another); the
    // descriptor is not owned. Ignores SIGPIPE for the process, so a closed
    // output cannot end it.
    explicit HeadlessConsole(int fd = STDOUT_FILENO);
    HeadlessConsole(const HeadlessConsole&) = delete;
    HeadlessConsole& operator=(const HeadlessConsole&) = delete;

    // A session's event: EVENT_STATE_CHANGED shows nothing (there is no
    // status view); any other kind logs the text in style "TarnHold basic".
    // Session threads.
    void OnServerEvent(const char* text, int kind) override;

    // Writes one line, whole and in order with the other lines; returns
    // once it is written or dropped. Any thread.
    void AppendLogLine(const char* text, LogStyle style) override;

private:
    // Writes `size` bytes unless the output fails or stays blocked past
    // the time limit; the number of bytes written.
    std::size_t WriteAll(const char* data, std::size_t size) REQUIRES(mutex_);

    const int fd_;
    CIP_InitCriticalSection mutex_;
    // A line was cut short: the next one starts on a line of its own.
    bool lineOpen_ GUARDED_BY(mutex_) = false;
};
