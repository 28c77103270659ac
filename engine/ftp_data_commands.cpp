// The data channel of an FTP session: PORT, PASV, TYPE and STRU, which set
// up or merely acknowledge it, and LIST, NLST, RETR and STOR, which move a
// listing or a file over it. Every transfer is byte for byte, whatever TYPE
// said. One PASV serves exactly one data command; without a pending PASV a
// data command connects out to the address and port of the last PORT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "config/account_store.h"
#include "engine/command_table.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "engine/listing.h"
#include "engine/path_access.h"
#include "engine/path_mapping.h"
#include "engine/server_events.h"
#include "engine/transfer_log.h"
#include "net/data_source.h"
#include "net/text.h"

namespace {

// PORT arguments longer than this are refused.
constexpr std::size_t kPortArgumentLimit = 25;
// Data ports below this are refused while the server says so.
constexpr int kLowestDataPort = 1024;
// PASV tries this many ports, one after the other.
constexpr int kPassiveAttempts = 128;
// Passive ports are offered from this range, round and round.
constexpr int32_t kLowestPassivePort = 10000;
constexpr int32_t kHighestPassivePort = 32000;
// How long a passive data command waits for the client's connection.
constexpr int kPassiveWaitSeconds = 20;
// How long an active data connection may take to be made; the system's
// own limit is about two minutes.
constexpr int kConnectWaitSeconds = 30;

// The low 8 bits of the decimal number at the start of text: blanks and a
// sign may come first, reading stops at the first other character, no
// digits give 0. Kept modulo 256 as it is read, so no length overflows.
int LowByteOfNumber(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    unsigned value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = (value * 10 + static_cast<unsigned>(*text - '0')) & 0xFFu;
    }
    return static_cast<int>((negative ? 0x100u - value : value) & 0xFFu);
}

}  // namespace

std::string_view CIP_FTPThread::ShownArgument(const char* text) {
    while (*text == ' ') ++text;
    return text;
}

int CIP_FTPThread::DataClient::IsCancelled() {
    return session_.ftpServer->IsShuttingDown() || session_.DisconnectRequested() ? 1 : 0;
}

int CIP_FTPThread::DataClient::ContinueSend(std::int64_t total) {
    session_.NoteTransferred(total);
    return CIP_WSClient::ContinueSend(total);
}

int CIP_FTPThread::DataClient::ContinueReceive(std::int64_t total) {
    session_.NoteTransferred(total);
    return CIP_WSClient::ContinueReceive(total);
}

// --- PORT, PASV, TYPE, STRU ---

int CIP_FTPThread::ParsePort(const char* text) {
    if (text == nullptr) return 0;
    const std::size_t length = std::strlen(text);
    if (length > kPortArgumentLimit) return 0;
    char copy[kPortArgumentLimit + 1];
    std::memcpy(copy, text, length + 1);

    const char* highText = nullptr;
    const char* lowText = nullptr;
    int commas = 0;
    for (char* c = copy; *c != '\0' && lowText == nullptr; ++c) {
        if (*c != ',') continue;
        ++commas;
        if (commas == 4) {
            *c = '\0';
            CopyText(clientAddress, copy);
            highText = c + 1;
        } else if (commas == 5) {
            *c = '\0';
            lowText = c + 1;
        } else {
            *c = '.';
        }
    }
    if (lowText == nullptr) return 0;

    const int port = LowByteOfNumber(highText) * 256 + LowByteOfNumber(lowText);
    if (port < kLowestDataPort && ftpServer->refuseLowDataPorts.load() != 0) return 0;
    dataPort = port;
    return 1;
}

int CIP_FTPThread::HandlePort() {
    if (peerAddress.IsIPv6()) {
        Reply("522 Use EPRT on an IPv6 connection\r\n");
        return 0;
    }
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("500 PORT: command not understood\r\n");
        return 0;
    }
    if (ParsePort(argument) != 1) {
        Reply("550 PORT failed\r\n");
        return 0;
    }
    Reply("250 PORT command successful\r\n");
    return 1;
}

void CIP_FTPThread::AdvancePassivePort() {
    ++passivePort;
    if (passivePort > kHighestPassivePort || passivePort < 0) passivePort = kLowestPassivePort;
}

bool CIP_FTPThread::PassiveAddress(char* out, int size) {
    // A client on the internet is told the owner's public address; one on
    // the owner's own networks keeps the local one.
    in_addr announced{};
    in_addr peer{};
    peer.s_addr = peerAddress.IPv4();
    if (IsPublicIPv4(peer) && ftpServer->publicAddress.Get(announced) &&
        inet_ntop(AF_INET, &announced, out, static_cast<socklen_t>(size)) != nullptr) {
        return true;
    }
    // The address this client reached: the only one it surely can reach.
    if (controlAddress.s_addr == htonl(INADDR_ANY)) {
        // On a dual-stack listener an IPv4 client's connection has a
        // mapped local address: it stands for the IPv4 address.
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            const SocketAddress own = SocketAddress::FromSystem(local);
            if (!own.IsIPv6()) controlAddress.s_addr = own.IPv4();
        }
    }
    if (controlAddress.s_addr != htonl(INADDR_ANY) &&
        inet_ntop(AF_INET, &controlAddress, out, static_cast<socklen_t>(size)) != nullptr) {
        return true;
    }
    // Else the machine's own name, as other servers announce it.
    char host[257];
    if (gethostname(host, sizeof host - 1) != 0) return false;
    host[sizeof host - 1] = '\0';
    return ResolveHost(host, out, size) == WSR_OK;
}

bool CIP_FTPThread::ListenPassive() {
    PassivePortRange& range = ftpServer->passivePorts;
    for (int attempt = 0; attempt < kPassiveAttempts; ++attempt) {
        if (range.Active()) passivePort = range.Next();
        // A port taken by another session or program is simply skipped.
        if (dataConnection.Listen(passivePort, 1, peerAddress.Family(), htonl(INADDR_ANY)) ==
            WSR_OK) {
            return true;
        }
        AdvancePassivePort();
    }
    return false;
}

int CIP_FTPThread::HandlePasv() {
    if (peerAddress.IsIPv6()) {
        Reply("522 Use EPSV on an IPv6 connection\r\n");
        return 0;
    }
    char address[32];
    if (!ListenPassive() || !PassiveAddress(address, sizeof address)) {
        // A socket that listens without an address to announce stays
        // until the session ends, and every later PASV finds it in the way.
        Reply("502 All data ports are in use\r\n");
        return 0;
    }
    for (char* c = address; *c != '\0'; ++c) {
        if (*c == '.') *c = ',';
    }
    char reply[96];
    std::snprintf(reply, sizeof reply, "227 Entering passive mode (%s,%d,%d)\r\n", address,
                  (passivePort / 256) % 256, passivePort % 256);
    Reply(reply);
    passivePending = 1;
    AdvancePassivePort();
    return 1;
}

int CIP_FTPThread::HandleType() {
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("500 TYPE: command not understood\r\n");
        return 0;
    }
    // The form or byte size that may follow is of no concern: bytes go
    // over unchanged in both types.
    const int first = std::toupper(static_cast<unsigned char>(argument[0]));
    if (first != 'A' && first != 'I') {
        Reply("550 TYPE failed\r\n");
        return 0;
    }
    Reply("250 TYPE command successful\r\n");
    return 1;
}

int CIP_FTPThread::HandleStru() {
    if (GetToken(line, " ", 1, argument, sizeof argument) != 0) {
        Reply("500 STRU: command not understood\r\n");
        return 0;
    }
    const int first = std::toupper(static_cast<unsigned char>(argument[0]));
    if (first != 'F' && first != 'R') {
        Reply("550 STRU failed\r\n");
        return 0;
    }
    Reply("250 STRU command successful\r\n");
    return 1;
}

// --- the data connection ---

bool CIP_FTPThread::TakePassivePending() {
    const bool pending = passivePending != 0;
    passivePending = 0;
    return pending;
}

bool CIP_FTPThread::ConnectActive(CIP_WSClient& connection) {
    // Only an address of the control connection's family: a name from the
    // client is never looked up.
    SocketAddress target;
    const bool usable = peerAddress.IsIPv6()
                            ? SocketAddress::Parse(clientAddress, 0, target) && target.IsIPv6()
                            : CIP_WSClient::IsDottedAddress(clientAddress) == 1;
    return usable && connection.Connect(dataPort, clientAddress, kConnectWaitSeconds,
                                        peerAddress.Family(), SOCK_STREAM) == WSR_OK;
}

bool CIP_FTPThread::AcceptPassive() {
    // Only the client of this session may take its data: a connection from
    // any other address is closed and the wait goes on.
    const bool opened = dataConnection.AcceptFrom(peerAddress, kPassiveWaitSeconds) == WSR_OK &&
                        ProtectData(dataConnection);
    if (opened) DataOpened();
    return opened;
}

void CIP_FTPThread::BeginLoggedTransfer(const char* path, bool upload) {
    loggedTransfer = {};
    if (!ftpServer->transferLog.Enabled()) return;
    loggedTransfer.active = true;
    loggedTransfer.upload = upload;
    // The file as the client names it, whether or not the path is granted.
    std::string real;
    loggedTransfer.path = MapPath(homeFolder, currentFolder, ShownArgument(path), real)
                              ? ClientPathText(homeFolder, real)
                              : std::string(ShownArgument(path));
}

void CIP_FTPThread::DataOpened() {
    if (!loggedTransfer.active || loggedTransfer.opened) return;
    loggedTransfer.opened = true;
    loggedTransfer.start = std::chrono::steady_clock::now();
}

void CIP_FTPThread::EndLoggedTransfer(bool complete) {
    const LoggedTransfer transfer = std::move(loggedTransfer);
    loggedTransfer = {};
    if (!transfer.active || !transfer.opened) return;
    TransferRecord record;
    record.end = std::time(nullptr);
    record.seconds = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::steady_clock::now() - transfer.start)
                         .count();
    record.address = peerAddress.Text();
    record.bytes = transfer.bytes;
    record.path = transfer.path;
    record.upload = transfer.upload;
    record.anonymous = anonymousLogin;
    record.login = transferLogin;
    record.complete = complete;
    ftpServer->transferLog.Append(XferlogLine(record));
}

void CIP_FTPThread::ChangeClientState(uint32_t state, std::string_view transferName) {
    if (clientRecord == nullptr) return;
    // The store's lock is released before the event: the receiver takes it
    // to read the client records.
    ftpServer->store.SetClientState(clientRecord, state, transferName);
    ftpServer->events.Send(messageBuffer, EVENT_STATE_CHANGED);
}

void CIP_FTPThread::NoteTransferred(int64_t total) {
    if (loggedTransfer.active) loggedTransfer.bytes = total;
    if (clientRecord != nullptr) clientRecord->transferred.store(total, std::memory_order_relaxed);
}

void CIP_FTPThread::NoteTransferSize(int64_t size) {
    if (clientRecord != nullptr) clientRecord->transferSize.store(size, std::memory_order_relaxed);
}

// --- LIST and NLST ---

int CIP_FTPThread::SendListing(CIP_WSClient& connection, bool namesOnly) {
    const SessionPaths paths = Paths();
    AccessedPath folder;
    if (!AccessRealPath(paths, paths.current, PERM_FOLDER_LIST, ResolveMode::Follow, folder)) {
        return 0;
    }
    const std::time_t now = std::time(nullptr);
    return SendFolderLines(connection, folder.real, [&](const ListingEntry& entry) {
        return namesOnly ? FormatNameLine(entry.name) : FormatListLine(entry, now);
    });
}

int CIP_FTPThread::SendFolderLines(CIP_WSClient& connection, const std::string& real,
                                   const std::function<std::string(const ListingEntry&)>& lineOf) {
    FolderEnumeration entries(real);
    if (!entries.IsOpen()) return 0;
    ListingEntry entry;
    bool any = false;
    // Lines go out in blocks of about 64 KiB: one send per line costs a
    // system call each, and the listing is never held whole in memory.
    constexpr std::size_t kBlock = 64 * 1024;
    std::string block;
    block.reserve(kBlock + 512);
    // A block that did not go out makes the listing incomplete, and the
    // client must not be told otherwise.
    int64_t total = 0;
    auto flush = [&] {
        const int length = static_cast<int>(block.size());
        const bool sent = connection.SendAll(block.data(), length) == length;
        block.clear();
        total += length;
        NoteTransferred(total);
        return sent;
    };
    while (entries.Next(entry)) {
        any = true;
        block += lineOf(entry);
        if (block.size() >= kBlock && !flush()) return 0;
    }
    if (!block.empty() && !flush()) return 0;
    return any ? 1 : 0;
}

int CIP_FTPThread::ListOverActive(bool namesOnly) {
    DataClient connection(*this);
    if (!OpenActive(connection)) return 0;
    const int result = SendListing(connection, namesOnly);
    connection.Disconnect();
    return result;
}

int CIP_FTPThread::ListOverPassive(bool namesOnly) {
    const int result = AcceptPassive() ? SendListing(dataConnection, namesOnly) : 0;
    dataConnection.Disconnect();
    return result;
}

int CIP_FTPThread::ListActive() { return ListOverActive(false); }
int CIP_FTPThread::ListPassive() { return ListOverPassive(false); }
int CIP_FTPThread::NameListActive() { return ListOverActive(true); }
int CIP_FTPThread::NameListPassive() { return ListOverPassive(true); }

int CIP_FTPThread::HandleList() {
    Reply("150 Opening ASCII mode data connection\r\n");
    ChangeClientState(CLIENT_LIST, ClientPathText(homeFolder, currentFolder));
    const int result = TakePassivePending() ? ListPassive() : ListActive();
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 LIST failed\r\n");
    ChangeClientState(CLIENT_IDLE);
    return result == 1 ? 1 : 0;
}

int CIP_FTPThread::HandleNlst() {
    Reply("150 Opening ASCII mode data connection\r\n");
    const int result = TakePassivePending() ? NameListPassive() : NameListActive();
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 NLST failed\r\n");
    return result == 1 ? 1 : 0;
}

// --- RETR and STOR ---

bool CIP_FTPThread::AccessFile(const char* path, uint32_t permission, std::string& real) {
    const SessionPaths paths = Paths();
    AccessedPath file;
    if (path == nullptr || !AccessClientPath(paths, path, permission, ResolveMode::Follow, file)) {
        return false;
    }
    real = std::move(file.real);
    return true;
}

bool CIP_FTPThread::FindReadableFile(const char* path, std::string& real, struct stat& status) {
    return AccessFile(path, PERM_FILE_READ, real) && stat(real.c_str(), &status) == 0 &&
           !S_ISDIR(status.st_mode);
}

bool CIP_FTPThread::OpenDownload(const char* path, std::optional<CIP_FileDataSource>& file) {
    // Opened by the path check where it can be: one walk of the path, and
    // no link can be put in its way between the check and the open.
    const SessionPaths paths = Paths();
    AccessedPath access;
    int fd = -1;
    if (path == nullptr ||
        !AccessClientFile(paths, path, PERM_FILE_READ,
                          CIP_File::OpenFlags(FILE_ACCESS_READ, FILE_OPEN_EXISTING, 0), access,
                          fd)) {
        return false;
    }
    const std::string& real = access.real;
    file.emplace(real.c_str(), kFileReadAhead);
    file->StartAt(transferOffset);
    int64_t size = 0;
    if ((fd >= 0 ? file->AdoptForReading(fd) : file->Open(OPEN_READ)) == 0) {
        size = file->SizeAtOpen();
    } else {
        struct stat status {};
        if (stat(real.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return false;
        size = status.st_size;
    }
    NoteTransferSize(std::max<int64_t>(size - transferOffset, 0));
    return true;
}

int CIP_FTPThread::SendDownload(CIP_WSClient& connection, CIP_FileDataSource& file) {
    // A file that could not be opened before the 150 gets one more try.
    return file.SizeAtOpen() >= 0 ? connection.SendOpenSource(file) : connection.SendSource(file);
}

int CIP_FTPThread::RetrieveActive(const char* path) {
    std::optional<CIP_FileDataSource> file;
    if (!OpenDownload(path, file)) return 0;
    Reply("150 RETR command started\r\n");
    DataClient connection(*this);
    if (!OpenActive(connection)) return 0;
    const int code = SendDownload(connection, *file);
    connection.Disconnect();
    return code == WSR_OK ? 1 : 0;
}

int CIP_FTPThread::RetrievePassive(const char* path) {
    std::optional<CIP_FileDataSource> file;
    int code = WSR_FAILED;
    if (OpenDownload(path, file)) {
        Reply("150 RETR command started\r\n");
        if (AcceptPassive()) code = SendDownload(dataConnection, *file);
    }
    dataConnection.Disconnect();
    return code == WSR_OK ? 1 : 0;
}

int CIP_FTPThread::StoreActive(const char* path) { return StoreOverActive(path, OPEN_CREATE); }

int CIP_FTPThread::StorePassive(const char* path) { return StoreOverPassive(path, OPEN_CREATE); }

int CIP_FTPThread::StoreOverActive(const char* path, int mode) {
    // The connection comes first, then the path: a refused upload is closed
    // unread.
    DataClient connection(*this);
    if (!OpenActive(connection)) return 0;
    std::string real;
    if (!AccessFile(path, PERM_FILE_WRITE, real)) return 0;
    const int code = ReceiveFileInto(connection, real, mode);
    connection.Disconnect();
    return code == WSR_OK ? 1 : 0;
}

int CIP_FTPThread::StoreOverPassive(const char* path, int mode) {
    std::string real;
    int code = WSR_FAILED;
    if (AcceptPassive() && AccessFile(path, PERM_FILE_WRITE, real)) {
        code = ReceiveFileInto(dataConnection, real, mode);
    }
    dataConnection.Disconnect();
    return code == WSR_OK ? 1 : 0;
}

int CIP_FTPThread::HandleRetr() {
    RestOfLine(line, argument, sizeof argument);
    if (!RestartFits(argument, PERM_FILE_READ)) return 0;
    ChangeClientState(CLIENT_DOWNLOAD, ShownArgument(argument));
    BeginLoggedTransfer(argument, false);
    const int result = TakePassivePending() ? RetrievePassive(argument) : RetrieveActive(argument);
    EndLoggedTransfer(result == 1);
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 RETR failed\r\n");
    ChangeClientState(CLIENT_IDLE);
    return result == 1 ? 1 : 0;
}

int CIP_FTPThread::HandleStor() {
    RestOfLine(line, argument, sizeof argument);
    if (!RestartFits(argument, PERM_FILE_WRITE)) return 0;
    Reply("150 STOR command started\r\n");
    ChangeClientState(CLIENT_UPLOAD, ShownArgument(argument));
    BeginLoggedTransfer(argument, true);
    const int result = TakePassivePending() ? StorePassive(argument) : StoreActive(argument);
    EndLoggedTransfer(result == 1);
    Reply(result == 1 ? "226 Transfer Complete\r\n" : "550 STOR failed\r\n");
    ChangeClientState(CLIENT_IDLE);
    return result == 1 ? 1 : 0;
}
