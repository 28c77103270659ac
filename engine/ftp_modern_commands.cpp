// The modern commands of a session, carried out while the server's
// FEATURE_MODERN_COMMANDS bit is on (RFC 3659, RFC 2428): REST, APPE,
// SIZE, MDTM, EPSV, EPRT, OPTS, FEAT and HELP with their lists, and PORT
// and PASV as EPSV ALL leaves them. REST offsets reach the transfers of
// RETR and STOR through transferOffset; with the bit off it stays 0.
#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/command_table.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "engine/machine_listing.h"
#include "net/data_source.h"
#include "net/text.h"

namespace {

// EPRT refuses data ports below this while the server says so, as PORT.
constexpr int kLowestDataPort = 1024;

// A whole decimal number of digits only that fits in 63 bits.
bool ParseOffset(const char* text, std::int64_t& out) {
    if (*text == '\0') return false;
    std::int64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        const int digit = *text - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

// A port of digits only, 1 to 65535.
bool ParsePortNumber(const std::string& text, int& out) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    out = value;
    return true;
}

// The fields of "<d>proto<d>address<d>port<d>", whose delimiter <d> is its
// first character (printable, not a digit): false when it is not that.
bool SplitExtendedAddress(const char* text, std::string (&fields)[3]) {
    const char delimiter = text[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9')) return false;
    const char* p = text + 1;
    for (std::string& field : fields) {
        const char* end = std::strchr(p, delimiter);
        if (end == nullptr) return false;
        field.assign(p, static_cast<std::size_t>(end - p));
        p = end + 1;
    }
    return *p == '\0';
}

}  // namespace

// --- REST and the transfers from an offset ---

int CIP_FTPThread::HandleRest() {
    std::int64_t offset = 0;
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0 || !ParseOffset(argument, offset)) {
        Reply("501 REST needs a whole number of bytes\r\n");
        return 0;
    }
    restartOffset = offset;
    char reply[64];
    std::snprintf(reply, sizeof reply, "350 Restarting at %lld\r\n", static_cast<long long>(offset));
    Reply(reply);
    return 1;
}

bool CIP_FTPThread::RestartFits(const char* path, uint32_t permission) {
    if (transferOffset == 0) return true;
    std::string real;
    // A refused path is the transfer's to answer, as without an offset.
    if (!AccessFile(path, permission, real)) return true;
    struct stat status {};
    if (stat(real.c_str(), &status) != 0) {
        // A missing file is RETR's to refuse; for STOR it is shorter than
        // any offset.
        if (permission == PERM_FILE_READ) return true;
    } else if (S_ISDIR(status.st_mode) || status.st_size >= transferOffset) {
        return true;
    }
    // One PASV serves one data command, refused or not.
    if (TakePassivePending()) dataConnection.Disconnect();
    Reply("554 Restart offset past the end of the file\r\n");
    return false;
}

int CIP_FTPThread::ReceiveFileInto(CIP_WSClient& connection, const std::string& real, int mode) {
    CIP_FileDataSource file(real.c_str(), kFileReadAhead);
    // APPE appends whatever REST said.
    if (mode == OPEN_CREATE) file.StartAt(transferOffset);
    return connection.ReceiveToSource(file, mode, 0, 0);
}

int CIP_FTPThread::HandleAppe() {
    RestOfLine(line, argument, sizeof argument);
    Reply("150 APPE command started\r\n");
    ChangeClientState(CLIENT_UPLOAD, ShownArgument(argument));
    BeginLoggedTransfer(argument, true);
    const int result = TakePassivePending() ? StoreOverPassive(argument, OPEN_APPEND)
                                            : StoreOverActive(argument, OPEN_APPEND);
    EndLoggedTransfer(result == 1);
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 APPE failed\r\n");
    ChangeClientState(CLIENT_IDLE);
    return result == 1 ? 1 : 0;
}

// --- SIZE and MDTM ---

int CIP_FTPThread::HandleSize() {
    RestOfLine(line, argument, sizeof argument);
    struct stat status {};
    if (!StatReadableFile(argument, status)) {
        Reply("550 SIZE failed\r\n");
        return 0;
    }
    char reply[64];
    std::snprintf(reply, sizeof reply, "213 %lld\r\n", static_cast<long long>(status.st_size));
    Reply(reply);
    return 1;
}

int CIP_FTPThread::HandleMdtm() {
    RestOfLine(line, argument, sizeof argument);
    struct stat status {};
    if (!StatReadableFile(argument, status)) {
        Reply("550 MDTM failed\r\n");
        return 0;
    }
    const std::string reply = "213 " + MachineTime(status.st_mtime) + "\r\n";
    Reply(reply.c_str());
    return 1;
}

bool CIP_FTPThread::StatReadableFile(const char* path, struct stat& status) {
    std::string real;
    return FindReadableFile(path, real, status);
}

// --- EPSV, EPRT, and PORT and PASV after EPSV ALL ---

int CIP_FTPThread::HandleEpsv() {
    if (GetToken(line, " ", 1, argument, sizeof argument) == 0) {
        if (strcasecmp(argument, "ALL") == 0) {
            epsvAll = true;
            Reply("200 EPSV ALL command successful\r\n");
            return 1;
        }
        // The protocol number of the control connection's family.
        const bool ipv6 = peerAddress.IsIPv6();
        if (std::strcmp(argument, ipv6 ? "2" : "1") != 0) {
            Reply(ipv6 ? "522 Network protocol not supported, use (2)\r\n"
                       : "522 Network protocol not supported, use (1)\r\n");
            return 0;
        }
    }
    if (!ListenPassive()) {
        Reply("502 All data ports are in use\r\n");
        return 0;
    }
    char reply[96];
    std::snprintf(reply, sizeof reply, "229 Entering Extended Passive Mode (|||%d|)\r\n",
                  passivePort);
    Reply(reply);
    passivePending = 1;
    AdvancePassivePort();
    return 1;
}

int CIP_FTPThread::HandleEprt() {
    if (epsvAll) {
        Reply("503 EPRT not allowed after EPSV ALL\r\n");
        return 0;
    }
    std::string fields[3];
    SocketAddress address;
    int port = 0;
    // A data connection of the control connection's family only.
    const bool ipv6 = peerAddress.IsIPv6();
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0 ||
        !SplitExtendedAddress(argument, fields) || fields[0].empty() ||
        fields[0].find_first_not_of("0123456789") != std::string::npos) {
        Reply("501 EPRT: command not understood\r\n");
        return 0;
    }
    if (fields[0] != (ipv6 ? "2" : "1")) {
        Reply(ipv6 ? "522 Network protocol not supported, use (2)\r\n"
                   : "522 Network protocol not supported, use (1)\r\n");
        return 0;
    }
    // |1| takes dotted texts, |2| IPv6 ones; a mapped IPv4 address is no
    // IPv6 peer to connect to.
    const bool parsed = SocketAddress::Parse(fields[1].c_str(), 0, address) &&
                        address.IsIPv6() == ipv6 &&
                        (fields[1].find(':') != std::string::npos) == ipv6;
    if (!parsed || !ParsePortNumber(fields[2], port)) {
        Reply("501 EPRT: command not understood\r\n");
        return 0;
    }
    // Another address than the client's is allowed, as PORT allows it.
    if (port < kLowestDataPort && ftpServer->refuseLowDataPorts.load() != 0) {
        Reply("550 EPRT failed\r\n");
        return 0;
    }
    // The address as given for IPv4, as ever; an IPv6 one in its RFC 5952
    // form, which the log and the console show.
    CopyText(clientAddress, ipv6 ? address.Text().c_str() : fields[1].c_str());
    dataPort = port;
    Reply("200 EPRT command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandlePortUnlessEpsvAll() {
    if (epsvAll) {
        Reply("503 PORT not allowed after EPSV ALL\r\n");
        return 0;
    }
    return HandlePort();
}

int CIP_FTPThread::HandlePasvUnlessEpsvAll() {
    if (epsvAll) {
        Reply("503 PASV not allowed after EPSV ALL\r\n");
        return 0;
    }
    return HandlePasv();
}

// --- OPTS, FEAT, HELP ---

int CIP_FTPThread::HandleOpts() {
    char option[FTP_LINE_SIZE];
    char value[FTP_LINE_SIZE] = {};
    if (GetToken(line, " ", 1, option, sizeof option) != 0) {
        Reply("501 OPTS: command not understood\r\n");
        return 0;
    }
    const bool hasValue = GetToken(line, " ", 2, value, sizeof value) == 0;
    if (strcasecmp(option, "UTF8") == 0 && hasValue && strcasecmp(value, "ON") == 0) {
        // Names are passed through as bytes, so UTF-8 names arrive intact.
        Reply("200 UTF8 is always on\r\n");
        return 1;
    }
    if (strcasecmp(option, "MLST") == 0) {
        machineFacts = ParseFactList(hasValue ? value : "");
        std::string reply = "200 MLST OPTS";
        if (machineFacts != 0) reply += " " + FactListText(machineFacts);
        reply += "\r\n";
        Reply(reply.c_str());
        return 1;
    }
    Reply("501 Option not understood\r\n");
    return 0;
}

int CIP_FTPThread::HandleFeatList() {
    std::string reply = "211-Extensions supported:\r\n";
    for (const FeatureLine& feature : kFeatLines) {
        if ((features & feature.feature) != 0) reply += feature.text;
    }
    reply += "211 End\r\n";
    Reply(reply.c_str());
    return 1;
}

int CIP_FTPThread::HandleHelpWithFeatures() {
    constexpr std::size_t kLast = sizeof kHelpLines / sizeof kHelpLines[0] - 1;
    for (std::size_t i = 0; i < kLast; ++i) Reply(kHelpLines[i]);
    for (const FeatureLine& feature : kFeatureHelpLines) {
        if ((features & feature.feature) != 0) Reply(feature.text);
    }
    Reply(kHelpLines[kLast]);
    return 1;
}
