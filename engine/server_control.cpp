#include "engine/server_control.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <climits>
#include <string>

#include "config/account_store.h"
#include "engine/ws_server.h"
#include "net/socket.h"

namespace {

constexpr int kListenBacklog = 5;

// What one session may hold at once: its control connection, a passive
// listening socket, the data connection and the file it moves; and what
// the process needs besides its sessions.
constexpr uint64_t kDescriptorsPerSession = 4;
constexpr uint64_t kDescriptorsBesideSessions = 64;

}  // namespace

const char* LogStyleName(LogStyle style) {
    switch (style) {
        case LogStyle::Basic: return "TarnHold basic";
        case LogStyle::Error: return "TarnHold error";
        case LogStyle::Note: return "TarnHold Note";
    }
    return "TarnHold basic";
}

int IdleTimeoutFromOption(uint32_t seconds) {
    return seconds > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(seconds);
}

ServerControl::ServerControl(CIP_WSServer& listener, AccountStore& store, ServerLog& log)
    : listener_(listener), store_(store), log_(log) {}

uint32_t ServerControl::ConfiguredPort() {
    AccountStore::Lock lock(store_);
    return store_.options.port;
}

bool ServerControl::Start() {
    const uint32_t port = ConfiguredPort();
    const std::string portText = std::to_string(port);
    // Cutting the option to 16 bits would listen on a port nobody asked
    // for, and port 0 on one chosen by the system; neither is reachable
    // under the number the log shows.
    const bool usable = port >= 1 && port <= 65535;
    std::string notReady;
    if (!listener_.PrepareToListen(notReady)) {
        log_.AppendLogLine(notReady.c_str(), LogStyle::Error);
        return false;
    }
    const bool limitsApplied = store_.AppliedUserLimit().first;
    // A thousand clients connecting at once overflow a queue of five and
    // wait out SYN retries for seconds.
    const int backlog = limitsApplied ? SOMAXCONN : kListenBacklog;
    if (!usable || listener_.Listen(static_cast<uint16_t>(port), backlog, AF_INET,
                                    htonl(INADDR_ANY)) != WSR_OK) {
        const std::string line = "Could not start listening on port " + portText +
                                  ". Please check if another program is already using this "
                                  "port, or select a different port.";
        log_.AppendLogLine(line.c_str(), LogStyle::Error);
        return false;
    }
    const std::string line = "Listening for connections on port " + portText;
    log_.AppendLogLine(line.c_str(), LogStyle::Basic);
    if (listener_.IPv6Wanted() && !listener_.ListeningOnIPv6()) {
        log_.AppendLogLine("IPv6 is not available on this machine: serving IPv4 clients only",
                           LogStyle::Error);
    }
    CheckDescriptorLimit();
    listener_.Start();
    listener_.ListeningStarted(static_cast<uint16_t>(port));
    startEnabled_ = false;
    stopEnabled_ = true;
    return true;
}

void ServerControl::CheckDescriptorLimit() {
    const auto [applied, maxusers] = store_.AppliedUserLimit();
    if (!applied || maxusers == 0) return;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const uint64_t needed = maxusers * kDescriptorsPerSession + kDescriptorsBesideSessions;
    if (limit.rlim_cur >= needed) return;
    const std::string line = "The open file limit (" + std::to_string(limit.rlim_cur) +
                             ") is below the " + std::to_string(needed) +
                             " that a Max user limit of " + std::to_string(maxusers) +
                             " needs; raise it (ulimit -n, LimitNOFILE=)";
    log_.AppendLogLine(line.c_str(), LogStyle::Error);
}

void ServerControl::Stop() {
    startEnabled_ = true;
    stopEnabled_ = false;
    const std::string line = "Stopped listening for connections on port " +
                             std::to_string(ConfiguredPort());
    log_.AppendLogLine(line.c_str(), LogStyle::Basic);
    listener_.Stop();
    listener_.ListeningStopped(false);
}

void ServerControl::StopForExit() {
    if (stopEnabled_) listener_.Stop();
    listener_.ListeningStopped(true);
}

bool ServerControl::Exit(const SettingsFiles& files) {
    StopForExit();
    return SaveAllSettings(store_, files);
}
