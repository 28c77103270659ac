#include "engine/ftp_thread.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/ftp_server.h"
#include "engine/server_control.h"
#include "net/text.h"

namespace {

// Report texts are formatted here and cut when longer.
constexpr std::size_t REPORT_TEXT_SIZE = 260;

// Hands a report text to the server's hook, formatted only when the hook
// keeps it; a longer text (a long user name with a long line) is cut at
// the buffer's end.
[[gnu::format(printf, 2, 3)]] void Report(CIP_FTPServer& server, const char* format, ...) {
    if (!server.ReportsText()) return;
    char text[REPORT_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    server.ReportText(text);
}

}  // namespace

// One row per command number; later handlers replace single rows.
const CIP_FTPThread::Handler CIP_FTPThread::kHandlers[kCommandCount] = {
    &CIP_FTPThread::HandleNotImplemented,      // 0  not recognised (the loop answers it)
    &CIP_FTPThread::HandleUser,                // 1  USER
    &CIP_FTPThread::HandlePass,                // 2  PASS
    &CIP_FTPThread::HandleNotImplemented,      // 3  ACCT
    &CIP_FTPThread::HandleChangeFolder,        // 4  CWD
    &CIP_FTPThread::HandleChangeFolderUp,      // 5  CDUP
    &CIP_FTPThread::HandleNotImplemented,      // 6  SMNT
    &CIP_FTPThread::HandleQuit,                // 7  QUIT
    &CIP_FTPThread::HandleNotImplemented,      // 8  REIN
    &CIP_FTPThread::HandlePort,                // 9  PORT
    &CIP_FTPThread::HandlePasv,                // 10 PASV
    &CIP_FTPThread::HandleType,                // 11 TYPE
    &CIP_FTPThread::HandleStru,                // 12 STRU
    &CIP_FTPThread::HandleModeNotImplemented,  // 13 MODE
    &CIP_FTPThread::HandleRetr,                // 14 RETR
    &CIP_FTPThread::HandleStor,                // 15 STOR
    &CIP_FTPThread::HandleNotImplemented,      // 16 STOU
    &CIP_FTPThread::HandleNotImplemented,      // 17 APPE
    &CIP_FTPThread::HandleNotImplemented,      // 18 ALLO
    &CIP_FTPThread::HandleNotImplemented,      // 19 REST
    &CIP_FTPThread::HandleRenameFrom,          // 20 RNFR
    &CIP_FTPThread::HandleRenameTo,            // 21 RNTO
    &CIP_FTPThread::HandleNotImplemented,      // 22 ABOR
    &CIP_FTPThread::HandleDelete,              // 23 DELE
    &CIP_FTPThread::HandleRemoveFolder,        // 24 RMD
    &CIP_FTPThread::HandleMakeFolder,          // 25 MKD
    &CIP_FTPThread::HandlePrintFolder,         // 26 PWD, XPWD
    &CIP_FTPThread::HandleList,                // 27 LIST
    &CIP_FTPThread::HandleNlst,                // 28 NLST
    &CIP_FTPThread::HandleNotImplemented,      // 29 SITE
    &CIP_FTPThread::HandleNotImplemented,      // 30 SYST
    &CIP_FTPThread::HandleNotImplemented,      // 31 STAT
    &CIP_FTPThread::HandleHelp,                // 32 HELP
    &CIP_FTPThread::HandleAuth,                // 33 AUTH
    &CIP_FTPThread::HandleFeat,                // 34 FEAT
    &CIP_FTPThread::HandleNoop,                // 35 NOOP
    // The modern commands are not recognised while their feature is off,
    // so their plain rows are never reached.
    &CIP_FTPThread::HandleNotImplemented,      // 36 EPSV
    &CIP_FTPThread::HandleNotImplemented,      // 37 EPRT
    &CIP_FTPThread::HandleNotImplemented,      // 38 SIZE
    &CIP_FTPThread::HandleNotImplemented,      // 39 MDTM
    &CIP_FTPThread::HandleNotImplemented,      // 40 MLSD
    &CIP_FTPThread::HandleNotImplemented,      // 41 MLST
    &CIP_FTPThread::HandleNotImplemented,      // 42 OPTS
    // So are the FTPS commands while theirs is off.
    &CIP_FTPThread::HandleNotImplemented,      // 43 PBSZ
    &CIP_FTPThread::HandleNotImplemented,      // 44 PROT
    &CIP_FTPThread::HandleNotImplemented,      // 45 CCC
};

// The rows that take over while their feature bit is on.
const CIP_FTPThread::FeatureRow CIP_FTPThread::kFeatureRows[] = {
    {CMD_PORT, FEATURE_MODERN_COMMANDS | SESSION_IPV6, &CIP_FTPThread::HandlePortUnlessEpsvAll},
    {CMD_PASV, FEATURE_MODERN_COMMANDS | SESSION_IPV6, &CIP_FTPThread::HandlePasvUnlessEpsvAll},
    {CMD_APPE, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleAppe},
    {CMD_REST, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleRest},
    {CMD_HELP, FEATURE_MODERN_COMMANDS | FEATURE_TLS, &CIP_FTPThread::HandleHelpWithFeatures},
    {CMD_FEAT, FEATURE_MODERN_COMMANDS | FEATURE_TLS, &CIP_FTPThread::HandleFeatList},
    {CMD_EPSV, FEATURE_MODERN_COMMANDS | SESSION_IPV6, &CIP_FTPThread::HandleEpsv},
    {CMD_EPRT, FEATURE_MODERN_COMMANDS | SESSION_IPV6, &CIP_FTPThread::HandleEprt},
    {CMD_SIZE, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleSize},
    {CMD_MDTM, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleMdtm},
    {CMD_MLSD, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleMlsd},
    {CMD_MLST, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleMlst},
    {CMD_OPTS, FEATURE_MODERN_COMMANDS, &CIP_FTPThread::HandleOpts},
    {CMD_AUTH, FEATURE_TLS, &CIP_FTPThread::HandleAuthTls},
    {CMD_PBSZ, FEATURE_TLS, &CIP_FTPThread::HandlePbsz},
    {CMD_PROT, FEATURE_TLS, &CIP_FTPThread::HandleProt},
    {CMD_CCC, FEATURE_TLS, &CIP_FTPThread::HandleCcc},
};

CIP_FTPThread::CommandRow CIP_FTPThread::CommandRowOf(int number, uint32_t features) {
    if (number < 0 || number >= kCommandCount) number = CMD_NONE;
    CommandRow row{kHandlers[number], CommandNeedsLogin(number)};
    for (const FeatureRow& feature : kFeatureRows) {
        if (feature.number == number && (features & feature.feature) != 0) {
            row.handler = feature.handler;
            break;
        }
    }
    return row;
}

CIP_FTPThread::CIP_FTPThread(CIP_FTPServer* owner) : ftpServer(owner) {
    // Sessions started at different moments offer different passive ports.
    auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    auto port = ticks % 20000 + 10000;
    passivePort = (port > 32000 || port < 0) ? 10000 : static_cast<int32_t>(port);
}

CIP_FTPThread::~CIP_FTPThread() = default;

void CIP_FTPThread::Reply(const char* text) { Send(text, -1, 0); }

void CIP_FTPThread::SendLogEvent() { ftpServer->events.Send(messageBuffer, EVENT_LOG_TEXT); }

CommandNumber CIP_FTPThread::ParseCommand(const char* text) {
    return ::ParseCommand(text, features);
}

bool CIP_FTPThread::ReadsAhead() const {
    // The options as they are now: FTPS may be switched on during a session.
    return (ftpServer->Features() & FEATURE_TLS) == 0;
}

void CIP_FTPThread::RefuseBusy() {
    static const char kBusy[] = "550 Too Many Connections, Please Try Later.\r\n";
    SendAll(kBusy, sizeof kBusy - 1, 0);
    Report(*ftpServer, "(%d) Max Connections Reached", ftpServer->ClientCount());
}

void CIP_FTPThread::Run() {
    endSession = 0;
    loginState = 0;
    lastResult = -1;
    userName[0] = '\0';
    CopyText(clientAddress, PeerAddressText());
    dataPort = peerAddress.Port();
    if (ReportConnected() == 0) {
        Reply("500 Disconnecting...\r\n");
        lastResult = 0;
        return;
    }
    Reply("220 Connected to Tarnwell Server\r\n");
    messageBuffer[0] = '\0';

    while (endSession == 0) {
        if (lastResult >= 0) ReportResult(command, line, lastResult);
        WaitOutcome outcome = WaitForLine();
        if (outcome == WaitOutcome::IdleTimeout) {
            endSession = 1;
            continue;
        }
        if (outcome == WaitOutcome::Line) {
            if (ftpServer->IsShuttingDown() || lastReadCount < 1) break;
            StripLineEnd(line);
            HandleLine();
            outcome = endedWaiting;
            if (outcome == WaitOutcome::Line) continue;
        }
        EndAfterWait(outcome);
        return;
    }
    Teardown();
}

void CIP_FTPThread::EndAfterWait(WaitOutcome outcome) {
    switch (outcome) {
        case WaitOutcome::ShuttingDown:
            // The client record stays: the server's destruction discards
            // every account with its records once all sessions have ended.
            Reply("500 Disconnecting\r\n");
            return;
        case WaitOutcome::Disconnected:
            // The owner ended this session from the console: the client
            // hears what it hears at exit, and the session ends as when
            // its client leaves, log line included.
            Reply("500 Disconnecting\r\n");
            Teardown();
            return;
        case WaitOutcome::PeerGone:
        case WaitOutcome::IdleTimeout:
        case WaitOutcome::Line:
            Teardown();
            return;
    }
}

CIP_FTPThread::WaitOutcome CIP_FTPThread::WaitForLine() {
    // Read anew for every line, so a changed time-out applies at once.
    int idle = SessionIdleTimeout();
    if (idle > 0) {
        for (int attempt = 0; attempt < idle; ++attempt) {
            if (DisconnectRequested()) return WaitOutcome::Disconnected;
            lastReadCount = ReadLine(line, sizeof line, 1);
            if (ftpServer->IsShuttingDown()) return WaitOutcome::ShuttingDown;
            if (DisconnectRequested()) return WaitOutcome::Disconnected;
            if (lastReadCount != 0) return WaitOutcome::Line;
            if (IsConnectionAlive() == 0) return WaitOutcome::PeerGone;
        }
        return WaitOutcome::IdleTimeout;
    }
    for (;;) {
        if (DisconnectRequested()) return WaitOutcome::Disconnected;
        lastReadCount = ReadLine(line, sizeof line, 1);
        if (DisconnectRequested()) return WaitOutcome::Disconnected;
        if (lastReadCount != 0) return WaitOutcome::Line;
        if (ftpServer->IsShuttingDown()) return WaitOutcome::ShuttingDown;
        if (IsConnectionAlive() == 0) return WaitOutcome::PeerGone;
    }
}

int CIP_FTPThread::SessionIdleTimeout() {
    if (loginState == 2 && recordAccount != nullptr) {
        const uint32_t own = ftpServer->store.AccountIdleTimeout(recordAccount);
        if (own != 0) return IdleTimeoutFromOption(own);
    }
    return ftpServer->IdleTimeout();
}

bool CIP_FTPThread::DisconnectRequested() const {
    // The record stays this session's until Teardown, which only this
    // thread runs.
    return clientRecord != nullptr && clientRecord->disconnectRequested.load();
}

void CIP_FTPThread::HandleLine() {
    // The session's own bit never comes from the options file.
    features = (ftpServer->Features() & ~SESSION_IPV6) | (peerAddress.IsIPv6() ? SESSION_IPV6 : 0);
    // A REST offset serves the command right after it, whatever that is.
    transferOffset = restartOffset;
    restartOffset = 0;
    command = ParseCommand(line);
    if (ReportCommand(command, line) == 0) {
        Reply("550 Access is denied\r\n");
        lastResult = 0;
        return;
    }
    if (command == CMD_NONE) {
        Reply("502 Command not implemented\r\n");
        lastResult = 0;
        return;
    }
    const CommandRow row = CommandRowOf(command, features);
    if (row.needsLogin && loginState != 2) {
        Reply("530 Please login with USER and PASS\r\n");
        lastResult = 0;
        return;
    }
    if (RefusedWithoutTls()) {
        lastResult = 0;
        return;
    }
    lastResult = (this->*row.handler)();
}

void CIP_FTPThread::ReleaseLogin() {
    if (clientRecord == nullptr) return;
    ftpServer->store.EndSession(recordAccount, clientRecord);
    clientRecord = nullptr;
    recordAccount = nullptr;
    account = nullptr;
}

void CIP_FTPThread::Teardown() {
    ReportDisconnected();
    ReleaseLogin();
    std::snprintf(messageBuffer, sizeof messageBuffer, "Connection from %s disconnected.",
                  clientAddress);
    SendLogEvent();
}

// --- commands answered by the table itself ---

int CIP_FTPThread::HandleQuit() {
    // The account's place is free before the client hears the goodbye,
    // so a client that logs in again at once finds it free.
    ReleaseLogin();
    Reply("221 Goodbye\r\n");
    endSession = 1;
    return 1;
}

int CIP_FTPThread::HandleHelp() {
    for (const char* helpLine : kHelpLines) Reply(helpLine);
    return 1;
}

int CIP_FTPThread::HandleAuth() {
    Reply("503 unknown security mechanism\r\n");
    return 0;
}

int CIP_FTPThread::HandleFeat() {
    Reply("502 Command not implemented\r\n");
    return 1;
}

int CIP_FTPThread::HandleNoop() {
    Reply("200 NOOP command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleModeNotImplemented() {
    Reply("502 MODE command not implemented\r\n");
    return 0;
}

int CIP_FTPThread::HandleNotImplemented() {
    Reply("502 Command not implemented\r\n");
    return 0;
}

// --- report texts ---

int CIP_FTPThread::ReportConnected() {
    Report(*ftpServer, "Client [%s] has connected ", PeerAddressText());
    return 1;
}

void CIP_FTPThread::ReportDisconnected() {
    Report(*ftpServer, "Client [%s] has disconnected ", PeerAddressText());
}

int CIP_FTPThread::ReportCommand(int number, const char* text) {
    if (text == nullptr) {
        Report(*ftpServer, "Client [%s] issued invalid command", PeerAddressText());
        return 0;
    }
    if (std::strlen(text) > FTP_MAX_COMMAND_LENGTH) {
        Report(*ftpServer, "Client [%s] is Sent too large data", PeerAddressText());
        return 0;
    }
    Report(*ftpServer, "[%s] issued command %d ' %s ' ", clientAddress, number, text);
    return 1;
}

void CIP_FTPThread::ReportResult(int number, const char* text, int result) {
    if (text == nullptr) {
        Report(*ftpServer, "Client [%s] issued invalid command", PeerAddressText());
    } else if (std::strlen(text) > FTP_MAX_COMMAND_LENGTH) {
        Report(*ftpServer, "Client [%s] sent too large data", PeerAddressText());
    } else if (result != 0) {
        Report(*ftpServer, "[%s] command %d ' %s ' was successful ", userName, number, text);
    } else {
        Report(*ftpServer, "[%s] command %d ' %s ' has failed", userName, number, text);
    }
}
