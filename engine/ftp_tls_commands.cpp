// Explicit FTPS (RFC 4217) of a session, carried out while the server's
// FEATURE_TLS bit is on: AUTH TLS turns the control connection into TLS,
// PBSZ and PROT choose whether data connections run TLS too, CCC is
// refused. Under FEATURE_TLS_REQUIRED named accounts log in and move data
// only under TLS; anonymous sessions carry no secret and may stay in clear.
#include <strings.h>

#include <climits>
#include <cstring>

#include "engine/command_table.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "net/text.h"
#include "net/tls.h"

namespace {

// How long a data connection's handshake may take, as its other waits.
constexpr int kDataHandshakeMs = 30000;

// The commands that move data over a data connection.
constexpr CommandNumber kDataCommands[] = {CMD_LIST, CMD_NLST, CMD_RETR,
                                           CMD_STOR, CMD_APPE, CMD_MLSD};

bool MovesData(int command) {
    for (CommandNumber number : kDataCommands) {
        if (number == command) return true;
    }
    return false;
}

// The idle time-out in milliseconds; 0 (no limit) leaves the stream's own.
int IdleMilliseconds(int seconds) {
    if (seconds <= 0) return 0;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

}  // namespace

int CIP_FTPThread::HandleAuthTls() {
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("501 AUTH needs a security mechanism\r\n");
        return 0;
    }
    if (strcasecmp(argument, "TLS") != 0 && strcasecmp(argument, "SSL") != 0) {
        Reply("504 AUTH mechanism not supported\r\n");
        return 0;
    }
    if (IsSecured()) {
        Reply("503 TLS is already on\r\n");
        return 0;
    }
    std::unique_ptr<TlsContext> context = TlsContext::Create(ftpServer->Credentials());
    if (!context) {
        Reply("431 TLS is not available\r\n");
        return 0;
    }
    Reply("234 AUTH TLS successful\r\n");
    auto stopped = [this] { return ftpServer->IsShuttingDown() != 0 || DisconnectRequested(); };
    // The idle time-out bounds the handshake as it bounds a silent client.
    std::unique_ptr<TlsStream> stream =
        context->Accept(sock, IdleMilliseconds(ftpServer->IdleTimeout()), stopped, false);
    if (!stream) {
        // What follows on this connection is neither TLS nor plain text.
        endSession = 1;
        return 0;
    }
    stream->SetCancel(stopped);
    Secure(std::move(stream));
    tlsContext = std::move(context);
    protectionSizeGiven = false;
    protectData = false;
    if (clientRecord != nullptr) clientRecord->secured.store(true);
    return 1;
}

int CIP_FTPThread::HandlePbsz() {
    if (!IsSecured()) {
        Reply("503 PBSZ needs AUTH TLS first\r\n");
        return 0;
    }
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0 || argument[0] == '\0' ||
        argument[std::strspn(argument, "0123456789")] != '\0') {
        Reply("501 PBSZ needs a whole number\r\n");
        return 0;
    }
    // TLS protects a stream: there is no buffer size to agree on.
    protectionSizeGiven = true;
    Reply("200 PBSZ=0\r\n");
    return 1;
}

int CIP_FTPThread::HandleProt() {
    if (!IsSecured()) {
        Reply("503 PROT needs AUTH TLS and PBSZ first\r\n");
        return 0;
    }
    const bool hasLevel = GetToken(line, " ", 1, argument, sizeof argument) == 0;
    if (hasLevel && strcasecmp(argument, "P") == 0) {
        // C is the level in force anyway, so only P waits for PBSZ (Python's
        // prot_c() sends PROT C alone).
        if (!protectionSizeGiven) {
            Reply("503 PROT needs AUTH TLS and PBSZ first\r\n");
            return 0;
        }
        protectData = true;
        Reply("200 PROT P successful\r\n");
        return 1;
    }
    if (hasLevel && strcasecmp(argument, "C") == 0) {
        protectData = false;
        Reply("200 PROT C successful\r\n");
        return 1;
    }
    Reply("504 PROT level not supported\r\n");
    return 0;
}

int CIP_FTPThread::HandleCcc() {
    Reply("534 CCC not allowed\r\n");
    return 0;
}

bool CIP_FTPThread::RefusedWithoutTls() {
    if ((features & FEATURE_TLS_REQUIRED) == 0) return false;
    if (!IsSecured()) {
        bool named = false;
        if (command == CMD_USER) {
            // Known or not: the reply must not tell which names exist.
            named = GetToken(line, " ", 1, argument, sizeof argument) != 0 ||
                    strcasecmp(argument, "anonymous") != 0;
            userRefusedWithoutTls = named;
        } else if (command == CMD_PASS) {
            // The PASS after a refused USER is refused alike, so a client
            // that sends both sees the same reason twice.
            named = userRefusedWithoutTls ||
                    (loginState >= 1 && strcasecmp(userName, "anonymous") != 0);
        }
        if (named) {
            Reply("530 TLS required\r\n");
            return true;
        }
    }
    if (protectData || !MovesData(command) || account == nullptr) return false;
    bool anonymous;
    {
        AccountStore::Lock lock(ftpServer->store);
        anonymous = account == &ftpServer->store.anonymous;
    }
    if (anonymous) return false;
    // One PASV serves one data command, refused or not.
    if (TakePassivePending()) dataConnection.Disconnect();
    Reply("521 PROT P required\r\n");
    return true;
}

bool CIP_FTPThread::ProtectData(CIP_WSClient& connection) {
    if (!protectData) return true;
    // Only a handshake that resumes the control connection's session shows
    // that the data comes from its client, and not from someone who
    // reached the port first.
    std::unique_ptr<TlsStream> stream;
    if (tlsContext) {
        stream = tlsContext->Accept(
            connection.Socket(), kDataHandshakeMs,
            [&connection] { return connection.IsCancelled() != 0; }, true);
    }
    if (!stream) {
        connection.Disconnect();
        return false;
    }
    connection.Secure(std::move(stream));
    return true;
}

bool CIP_FTPThread::OpenActive(CIP_WSClient& connection) {
    const bool opened = ConnectActive(connection) && ProtectData(connection);
    if (opened) DataOpened();
    return opened;
}
