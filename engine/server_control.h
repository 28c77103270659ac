// The owner's commands over the listener: Start, Stop and Exit, the log
// lines they write and the enabled state of the Start and Stop entries.
// Shared by the desktop window and the headless console; knows no window.
#pragma once

#include <cstdint>

#include "config/settings.h"

class AccountStore;
class CIP_WSServer;

// The three text styles of the owner's log.
enum class LogStyle { Basic, Error, Note };

// "TarnHold basic", "TarnHold error" or "TarnHold Note".
const char* LogStyleName(LogStyle style);

// Where the owner's log lines go.
class ServerLog {
public:
    virtual ~ServerLog() = default;
    // Appends one line in the given style. The text is valid only during
    // the call. Which threads may call it is the implementation's to say.
    virtual void AppendLogLine(const char* text, LogStyle style) = 0;
};

// The idle time-out option as the server's signed seconds: values above
// INT_MAX become INT_MAX (still "wait about 68 years", never "no limit").
int IdleTimeoutFromOption(uint32_t seconds);

// Start, Stop and Exit over one listener, with the listening port taken
// from the store's options at each Start and Stop. Owner's thread only,
// like the listener's own Listen, Start and Stop.
class ServerControl {
public:
    // Keeps references to all three; they must outlive this object. Both
    // entries start enabled.
    ServerControl(CIP_WSServer& listener, AccountStore& store, ServerLog& log);
    ServerControl(const ServerControl&) = delete;
    ServerControl& operator=(const ServerControl&) = delete;

    // Listens on the configured port (all IPv4 addresses, backlog 5; with
    // apply_limits on, the system's largest, for bursts of connections)
    // and starts the accept thread. With apply_limits on, logs as an error
    // when the open file limit is below what "Max user limit" sessions
    // need. Returns true when listening began. On
    // failure logs the error line and changes nothing else; a port of 0
    // or above 65535 is such a failure, since it names no port a client
    // could reach, and so is what the listener needs beforehand and lacks
    // (FTPS's certificate and key), logged as it words it.
    bool Start();

    // Enables Start, disables Stop, logs the stopped line and stops
    // listening. Sessions already connected go on.
    void Stop();

    // The Exit command's first step: stops listening, without a log line,
    // when the Stop entry is enabled.
    void StopForExit();

    // StopForExit, then saves the settings and tarnhold.conf
    // (SaveAllSettings). Returns whether the save succeeded. The caller
    // then destroys the server.
    bool Exit(const SettingsFiles& files);

    // Enabled state of the "Start" and "Stop" entries (menu and tool bar).
    bool StartEnabled() const { return startEnabled_; }
    bool StopEnabled() const { return stopEnabled_; }

private:
    uint32_t ConfiguredPort();
    // Logs when the open file limit cannot serve "Max user limit"
    // sessions at once, with apply_limits on.
    void CheckDescriptorLimit();

    CIP_WSServer& listener_;
    AccountStore& store_;
    ServerLog& log_;
    bool startEnabled_ = true;
    bool stopEnabled_ = true;
};
