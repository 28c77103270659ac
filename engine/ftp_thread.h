// CIP_FTPThread: one FTP control connection. Its connection thread calls
// Run, which greets the client, reads command lines with the server's idle
// time-out, classifies each line, checks its length and the login, carries
// the command out through the command table and answers, and at the end
// removes the session's client record and logs the disconnection.
//
// Every operation runs on the session's connection thread, and every field
// belongs to that thread. Shared data (accounts, client records) is reached
// only through the server's store under its lock.
#pragma once

#include <netinet/in.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/records.h"
#include "engine/command_table.h"
#include "engine/listing.h"
#include "engine/machine_listing.h"
#include "engine/path_access.h"
#include "engine/ws_thread.h"
#include "net/data_source.h"
#include "net/ws_client.h"

class CIP_FTPServer;

// Capacities of the session's fixed text buffers, terminator included.
constexpr int FTP_LINE_SIZE = 257;           // a command line, line end included
constexpr int FTP_TEXT_SIZE = 261;           // folders, user name, password
// The client's address text: dotted, or an IPv6 text of any length.
constexpr int FTP_CLIENT_ADDRESS_SIZE = static_cast<int>(ADDRESS_TEXT_SIZE);
static_assert(CLIENT_ADDRESS_SIZE >= ADDRESS_TEXT_SIZE, "a client record holds any address text");
// Longest command line (line end removed) that is carried out.
constexpr std::size_t FTP_MAX_COMMAND_LENGTH = 216;
// The read-ahead of the file sources of transfers, which bypass it.
constexpr int kFileReadAhead = 4096;

class CIP_FTPThread : public CIP_WSThread {
public:
    // A session of `owner`, which outlives it. No account, no client record.
    explicit CIP_FTPThread(CIP_FTPServer* owner);
    ~CIP_FTPThread() override;

    // The session body: returns when the session has ended.
    void Run() override;
    // Refuses a connection over the server's limit, without a greeting.
    void RefuseBusy() override;

protected:
    // Reads ahead unless FTPS is on: bytes received past an AUTH TLS line
    // would be missing from the handshake that follows it.
    bool ReadsAhead() const override;

public:
    // The command number of a line (its line end removed). On an IPv6
    // connection EPSV and EPRT count whatever the feature bits say.
    virtual CommandNumber ParseCommand(const char* text);
    // Sends the login message of the account logged in with as "230-"
    // lines and a final "230 " line.
    virtual void SendLoginMessage();
    // 1 when `user` is ANONYMOUS or GUEST and `password` is not empty, in
    // which case the user text becomes userName. Converts `user` and (when
    // the user matches) `password` to upper case in place. Not used by the
    // command loop.
    virtual int IsGuestLogin(char* user, char* password);

    // Report texts for the server's ReportText hook.
    // At session start; 1 lets the session go on.
    virtual int ReportConnected();
    // First thing in the teardown.
    virtual void ReportDisconnected();
    // Right after a line has been parsed: 0 for a missing line or one
    // longer than 216 characters, which is then refused.
    virtual int ReportCommand(int number, const char* text);
    // The outcome of the previous command, before the next line is read.
    virtual void ReportResult(int number, const char* text, int result);

protected:
    // A command handler: 1 succeeded, 0 failed (the loop's lastResult).
    using Handler = int (CIP_FTPThread::*)();
    struct CommandRow {
        Handler handler;
        bool needsLogin;
    };
    // A row that carries a command out instead of its plain row while a
    // bit of `feature` is on.
    struct FeatureRow {
        CommandNumber number;
        uint32_t feature;
        Handler handler;
    };
    // The row of a command number (0 .. kCommandCount - 1) under the
    // feature bits: a feature row whose bit is on, else the plain row.
    static CommandRow CommandRowOf(int number, uint32_t features = 0);

    // Handlers of the session loop and of the commands answered without a
    // Part of their own.
    int HandleUser();
    int HandlePass();
    int HandleQuit();
    int HandleHelp();
    int HandleAuth();
    int HandleFeat();
    int HandleNoop();
    int HandleModeNotImplemented();
    // The commands this server answers with "502 Command not implemented".
    int HandleNotImplemented();

    // --- navigation and file-management commands (CWD, CDUP, PWD, DELE,
    // RNFR, RNTO, MKD, RMD): declarations here, bodies in ftp_file_commands.cpp ---
    int HandleChangeFolder();    // CWD
    int HandleChangeFolderUp();  // CDUP
    int HandlePrintFolder();     // PWD, XPWD
    int HandleDelete();          // DELE
    int HandleRenameFrom();      // RNFR
    int HandleRenameTo();        // RNTO
    int HandleMakeFolder();      // MKD
    int HandleRemoveFolder();    // RMD
    // The session's folders and account as the path checks take them;
    // built afresh for every call, since a change of folder makes the
    // previous one stale.
    SessionPaths Paths();
    // The rest of `line` (the path argument) into `argument`.
    void TakePathArgument();

    // --- data-channel commands (PORT, PASV, TYPE, STRU, LIST, NLST, RETR,
    // STOR): declarations here, bodies in ftp_data_commands.cpp ---

    // A data connection of this session: its transfers stop as soon as the
    // server shuts down, so an exit never waits for a long transfer.
    class DataClient : public CIP_WSClient {
    public:
        explicit DataClient(CIP_FTPThread& session) : session_(session) {}
        // Stops when the server shuts down or the console disconnects the
        // session.
        int IsCancelled() override;
        // Pass the running total on to the console's transfer column.
        int ContinueSend(std::int64_t total) override;
        int ContinueReceive(std::int64_t total) override;

    private:
        CIP_FTPThread& session_;
    };

    // The command rows. PORT, PASV, TYPE and STRU answer at once; LIST,
    // NLST, RETR and STOR send their opening and closing replies around
    // the handler below that the data-connection mode selects.
    int HandlePort();
    int HandlePasv();
    int HandleType();
    int HandleStru();
    int HandleList();
    int HandleNlst();
    int HandleRetr();
    int HandleStor();

    // PORT's argument "h1,h2,h3,h4,p1,p2" (at most 25 characters): 1 when it
    // names a usable port, which then becomes dataPort. clientAddress takes
    // the text before the fourth comma (commas turned into dots) as soon as
    // one is found, even when the argument fails later.
    virtual int ParsePort(const char* text);
    // LIST and NLST of the current folder over a new active connection or
    // the pending passive one: 1 when every line went out, 0 when the
    // connection, the List permission, the enumeration or a send failed.
    virtual int ListActive();
    virtual int ListPassive();
    virtual int NameListActive();
    virtual int NameListPassive();
    // RETR and STOR of a client path: 1 when the whole file went over. The
    // retrieve handlers send the 150 reply themselves, only for a readable
    // file; every exit of a passive handler closes the listening socket.
    virtual int RetrieveActive(const char* path);
    virtual int RetrievePassive(const char* path);
    virtual int StoreActive(const char* path);
    virtual int StorePassive(const char* path);

    // Helpers of the data commands.
    // passivePort one up, from 32000 round to 10000.
    void AdvancePassivePort();
    // The address PASV announces: the local address of the control
    // connection, else the first address of the machine's name.
    bool PassiveAddress(char* out, int size);
    // Whether a PASV is pending; clears it, since one PASV serves one
    // data command.
    bool TakePassivePending();
    // Connects `connection` to clientAddress:dataPort within 30 s. A seam:
    // a test session may keep active connections on this machine.
    virtual bool ConnectActive(CIP_WSClient& connection);
    // Accepts the client's connection on the passive socket within 20 s.
    bool AcceptPassive();
    // A command's argument as the console names it: without the blank that
    // separates it from the verb.
    static std::string_view ShownArgument(const char* text);
    // Sets the client record's state, with the name of what moves, and
    // tells the event receiver.
    void ChangeClientState(uint32_t state, std::string_view transferName = {});
    // The transfer log's part of RETR, STOR and APPE: Begin before the
    // handler (with the command's argument), DataOpened once its data
    // connection is there, End with its outcome (writes the line when the
    // connection opened).
    void BeginLoggedTransfer(const char* path, bool upload);
    void DataOpened();
    void EndLoggedTransfer(bool complete);
    // The bytes moved so far and the size, for the console (no event).
    void NoteTransferred(int64_t total);
    void NoteTransferSize(int64_t size);
    // Whether the console asked this session to end.
    bool DisconnectRequested() const;
    // Sends the lines of the current folder (needs the List permission).
    int SendListing(CIP_WSClient& connection, bool namesOnly);
    // Sends lineOf(entry) for every entry of the real folder, in blocks:
    // 1 when every line went out, 0 when the folder cannot be enumerated,
    // has no entry, or a send failed.
    int SendFolderLines(CIP_WSClient& connection, const std::string& real,
                        const std::function<std::string(const ListingEntry&)>& lineOf);
    int ListOverActive(bool namesOnly);
    int ListOverPassive(bool namesOnly);
    // The resolved path of a client path that grants `permission`.
    bool AccessFile(const char* path, uint32_t permission, std::string& real);
    // AccessFile for reading, and the path is there and no folder; `status`
    // receives its status (one stat for the check and the caller).
    bool FindReadableFile(const char* path, std::string& real, struct stat& status);

    // --- modern commands (REST, APPE, SIZE, MDTM, EPSV, EPRT, OPTS, and
    // FEAT and HELP with their lists), rows of FEATURE_MODERN_COMMANDS:
    // bodies in ftp_modern_commands.cpp ---
    int HandleRest();
    int HandleAppe();
    int HandleSize();
    int HandleMdtm();
    int HandleEpsv();
    int HandleEprt();
    int HandleOpts();
    int HandleFeatList();
    int HandleHelpWithFeatures();
    // PORT and PASV, refused once EPSV ALL was given.
    int HandlePortUnlessEpsvAll();
    int HandlePasvUnlessEpsvAll();
    // The passive listening socket of PASV and EPSV: true when one listens
    // on passivePort (tried from there, up to 128 ports).
    bool ListenPassive();
    // With a REST offset, a RETR (`permission` PERM_FILE_READ) or STOR
    // (PERM_FILE_WRITE) of a file shorter than the offset is answered
    // "554" here, consuming a pending PASV: false then. True otherwise,
    // also when the path is refused, which the transfer itself answers.
    bool RestartFits(const char* path, uint32_t permission);
    // FindReadableFile's status alone (SIZE, MDTM).
    bool StatReadableFile(const char* path, struct stat& status);
    // The file of a download (RETR), opened from transferOffset before its
    // 150 so that the open's own status gives the size: false, and no 150,
    // when the path is refused, missing or a folder. A file that is there
    // but cannot be opened now (in use against the sharing rule, shorter
    // than the offset, no regular file) is left closed and tried again
    // after the 150, where it fails as it always did.
    bool OpenDownload(const char* path, std::optional<CIP_FileDataSource>& file);
    // Sends the file of OpenDownload over the connection.
    int SendDownload(CIP_WSClient& connection, CIP_FileDataSource& file);
    // The file transfers of STOR and APPE from transferOffset.
    int ReceiveFileInto(CIP_WSClient& connection, const std::string& real, int mode);
    // STOR (OPEN_CREATE) and APPE (OPEN_APPEND) over either connection.
    int StoreOverActive(const char* path, int mode);
    int StoreOverPassive(const char* path, int mode);

    // --- MLSD and MLST: bodies in ftp_machine_listing.cpp ---
    int HandleMlsd();
    int HandleMlst();
    // Sends the machine listing of a checked folder.
    int SendMachineListing(CIP_WSClient& connection, const std::string& written,
                           const std::string& real);

    // --- FTPS, rows of FEATURE_TLS (RFC 4217): bodies in
    // ftp_tls_commands.cpp ---
    int HandleAuthTls();
    int HandlePbsz();
    int HandleProt();
    int HandleCcc();
    // Under FEATURE_TLS_REQUIRED, answers a command that needs TLS first
    // ("530 TLS required" for a named login in clear, "521 PROT P
    // required" for a named account's data command while PROT is C):
    // true when it did, and the command is not carried out.
    bool RefusedWithoutTls();
    // After PROT P, runs the server side of TLS on a new data connection,
    // which must resume this control connection's session: true when it
    // did or PROT is C; false (the connection closed) otherwise.
    bool ProtectData(CIP_WSClient& connection);
    // ConnectActive, then ProtectData.
    bool OpenActive(CIP_WSClient& connection);

    // One reply: the whole text in one send.
    void Reply(const char* text);
    // Hands messageBuffer to the server's event receiver as a log line.
    void SendLogEvent();

    char line[FTP_LINE_SIZE] = {};
    char argument[FTP_LINE_SIZE] = {};
    int32_t lastReadCount = 0;
    signed char command = CMD_NONE;
    uint32_t endSession = 0;
    int32_t loginState = 0;  // 0 nothing sent, 1 user name given, 2 logged in
    // The current and home folders in written form (normalised as text,
    // links not resolved), as the path checks take them. Strings, not
    // fixed buffers: a written path may be as long as PATH_MAX.
    std::string currentFolder;
    std::string homeFolder;
    char userName[FTP_TEXT_SIZE] = {};
    char password[FTP_TEXT_SIZE] = {};
    int32_t dataPort = 0;
    int32_t passivePort = 10000;
    char clientAddress[FTP_CLIENT_ADDRESS_SIZE] = {};
    int32_t lastResult = -1;  // -1 none yet, 0 failed, 1 succeeded
    // The account logged in with, or null. Valid while clientRecord is in
    // that account's clients (see AccountStore).
    account_s* account = nullptr;

    // The window texts. Sized for the longest of them (an accepted line
    // with an account name of full length), so none is ever cut.
    static constexpr std::size_t MESSAGE_BUFFER_SIZE =
        sizeof "Connection from " - 1 + FTP_CLIENT_ADDRESS_SIZE - 1 +
        sizeof " accepted. [Account: " - 1 + ACCOUNT_TEXT_SIZE - 1 + sizeof "]";
    char messageBuffer[MESSAGE_BUFFER_SIZE] = {};
    // The session's client record and the account whose clients hold it;
    // both null before the first successful login.
    client_s* clientRecord = nullptr;
    account_s* recordAccount = nullptr;
    // The login message of the account logged in with, copied at login.
    char loginMessage[LOGIN_MESSAGE_SIZE] = {};

    // --- fields of the navigation and file-management commands ---
    // The argument of the last RNFR, as given (not mapped); empty until
    // the first RNFR. RNTO leaves it as it is.
    std::string renameFrom;

    // --- fields of the data channel ---
    // The passive listening socket between a PASV and the data command that
    // uses it, and that command's accepted connection.
    DataClient dataConnection{*this};
    // Set by a successful PASV: the next data command is passive.
    uint32_t passivePending = 0;
    // The local IPv4 address of the control connection, which PASV
    // announces: asked for once, since it never changes. INADDR_ANY until
    // then.
    in_addr controlAddress{};

    // --- fields of the transfer log ---
    // The login the transfer log names (the anonymous account's e-mail
    // text), and whether it is the anonymous account; set at login.
    std::string transferLogin;
    bool anonymousLogin = false;
    // The RETR, STOR or APPE being carried out while the log is on: its
    // client path, whether its data connection opened (only then is a
    // line written), when, and the bytes moved so far.
    struct LoggedTransfer {
        bool active = false;
        bool opened = false;
        bool upload = false;
        std::chrono::steady_clock::time_point start;
        int64_t bytes = 0;
        std::string path;
    };
    LoggedTransfer loggedTransfer;

    // --- fields of the modern commands ---
    // The feature bits of the server options, read for every line, with
    // SESSION_IPV6 on an IPv6 control connection.
    uint32_t features = 0;
    // REST's offset, for the next command only; and the offset the
    // command being carried out transfers from (0: the whole file).
    std::int64_t restartOffset = 0;
    std::int64_t transferOffset = 0;
    // Set by EPSV ALL: PORT, EPRT and PASV are refused from then on.
    bool epsvAll = false;
    // The facts MLSD and MLST show (OPTS MLST).
    uint32_t machineFacts = FACT_ALL;

    // --- fields of FTPS ---
    // The TLS of the control connection after AUTH, which its data
    // connections resume; null before.
    std::unique_ptr<TlsContext> tlsContext;
    // PBSZ given since AUTH, and PROT P in force.
    bool protectionSizeGiven = false;
    bool protectData = false;
    // The last USER was refused for want of TLS (FTPS required).
    bool userRefusedWithoutTls = false;

    CIP_FTPServer* ftpServer;  // not owned

private:
    enum class WaitOutcome { Line, IdleTimeout, PeerGone, ShuttingDown, Disconnected };
    // Waits for the next command line as the idle time-out allows.
    WaitOutcome WaitForLine();
    // The login guard's wait after a failed PASS: until the block of the
    // client's address has run out, at most 30 s. Line when it ran its
    // course; otherwise what ended it. Holds no lock while it waits.
    WaitOutcome WaitOutLoginBlock();
    // Ends the session after a wait that did not bring a line.
    void EndAfterWait(WaitOutcome outcome);
    // Carries out the command in `line` and sets lastResult.
    void HandleLine();
    // Removes the client record and logs the session's end.
    void Teardown();
    // Gives the client record back to its account, if the session holds
    // one, and forgets the account.
    void ReleaseLogin();
    // The idle time-out for the next command line: the account's once
    // logged in with apply_limits on and the account sets one, else the
    // server's. Seconds; 0 or less means no limit.
    int SessionIdleTimeout();

    enum class LoginOutcome { LoggedIn, Refused, AccountFull };
    // The locked part of a login: on success the session takes the
    // account's home, login message and a new client record (releasing
    // the earlier one) and `accountName` its display name. AccountFull:
    // name and password matched but the account's "Max logins" are in use.
    LoginOutcome LogIn(char (&accountName)[ACCOUNT_TEXT_SIZE]);
    // Whether the user name names a named account: not "anonymous" while
    // anonymous logins are on. The caller holds the store's lock.
    bool FindsNamedAccount() const;
    // The end of a login under the store's lock: takes `found` (null: the
    // login failed) as LogIn says, and asks for its plain password to be
    // hashed when password_storage says so.
    LoginOutcome TakeAccount(account_s* found, char (&accountName)[ACCOUNT_TEXT_SIZE]);

    // Set by a wait inside a command (the login guard's) that the server's
    // end, the console or the peer cut short: the loop ends the session
    // as when its wait for a line ends that way. Line otherwise.
    WaitOutcome endedWaiting = WaitOutcome::Line;

    static const Handler kHandlers[kCommandCount];
    static const FeatureRow kFeatureRows[];
};
