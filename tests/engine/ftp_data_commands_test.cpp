// The data commands inside a real session over loopback, where the
// protocol tests cannot look: the status view's states around LIST, NLST,
// RETR and STOR, and the passive port's way through its range.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/account_store.h"
#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"
#include "net/text.h"
#include "tests/engine/loopback.h"

namespace {

namespace fs = std::filesystem;

// Records the client record's state at every state-change event. Reading
// it takes the store's lock, as the status view does: a session that sent
// the event while holding that lock would deadlock here.
class StateRecorder : public ServerEventReceiver {
public:
    explicit StateRecorder(AccountStore& store) : store_(store) {}

    void OnServerEvent(const char*, int kind) override {
        if (kind != EVENT_STATE_CHANGED) return;
        uint32_t state;
        {
            AccountStore::Lock lock(store_);
            const client_s* client = store_.anonymous.clients.head;
            state = client != nullptr ? client->state : 99;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        states_.push_back(state);
    }

    // The states so far. The closing reply goes out before the state is
    // back to idle, so a NOOP answered first tells that a command is done.
    std::vector<uint32_t> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(states_, {});
    }

private:
    AccountStore& store_;
    std::mutex mutex_;
    std::vector<uint32_t> states_;
};

// Sessions whose first passive port is chosen by the test.
class PassivePortSession : public CIP_FTPThread {
public:
    PassivePortSession(CIP_FTPServer* owner, int32_t firstPort) : CIP_FTPThread(owner) {
        passivePort = firstPort;
    }
};

class PassivePortServer : public CIP_FTPServer {
public:
    explicit PassivePortServer(int32_t firstPort) : firstPort_(firstPort) {}
    ~PassivePortServer() override { ShutdownAndWait(); }

protected:
    CIP_WSThread* CreateSession() override {
        return new (std::nothrow) PassivePortSession(this, firstPort_);
    }

private:
    int32_t firstPort_;
};

class Control {
public:
    explicit Control(int port) : fd_(loopback::ConnectTo(port)) {}
    ~Control() {
        if (fd_ >= 0) close(fd_);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    std::string Line() { return loopback::ReceiveUntil(fd_, "\r\n"); }
    std::string Command(const std::string& text) {
        loopback::SendText(fd_, text + "\r\n");
        return Line();
    }
    void LogInAnonymously() {
        ASSERT_EQ(Line(), "220 Connected to Tarnwell Server\r\n");
        Command("USER anonymous");
        ASSERT_EQ(Command("PASS me@example.org"), "230-logon successful\r\n");
        Line();
    }
    // PASV: the announced port, or -1.
    int Passive(std::string* reply = nullptr) {
        std::string text = Command("PASV");
        if (reply != nullptr) *reply = text;
        int h1, h2, h3, h4, p1, p2;
        if (std::sscanf(text.c_str(), "227 Entering passive mode (%d,%d,%d,%d,%d,%d)", &h1, &h2,
                        &h3, &h4, &p1, &p2) != 6) {
            return -1;
        }
        return p1 * 256 + p2;
    }

private:
    int fd_;
};

class DataCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("tarnhold-data-unit-" + std::to_string(getpid()));
        fs::create_directories(home_);
        std::ofstream(home_ / "file.txt") << "contents";
    }
    void TearDown() override { fs::remove_all(home_); }

    // Anonymous logins enabled, with every right at home.
    void Configure(CIP_FTPServer& server) {
        AccountStore::Lock lock(server.store);
        server.store.anonymous.enabled = 1;
        CopyText(server.store.anonymous.home, home_.string());
        server.store.anonymous.paths.AddPath(home_.c_str(), 0x77, 0);
    }

    int Start(CIP_FTPServer& server) {
        Configure(server);
        EXPECT_EQ(server.Listen(0, 5, AF_INET, htonl(INADDR_LOOPBACK)), 0);
        EXPECT_EQ(server.Start(), 0);
        return server.ListenPort();
    }

    fs::path home_;
};

// Runs a data command passively: the bytes that came over the connection.
std::string PassiveCommand(Control& control, const std::string& command,
                           const std::string& upload = "") {
    int port = control.Passive();
    EXPECT_GT(port, 0);
    int data = loopback::ConnectTo(port);
    EXPECT_GE(data, 0);
    loopback::SendText(data, upload);
    shutdown(data, SHUT_WR);
    control.Command(command);
    std::string received = loopback::ReceiveUntilClosed(data);
    close(data);
    EXPECT_EQ(control.Line(), "226 Transfer Complete\r\n") << command;
    return received;
}

std::vector<uint32_t> Settled(Control& control, StateRecorder& recorder) {
    EXPECT_EQ(control.Command("NOOP"), "200 NOOP command successful\r\n");
    return recorder.Take();
}

TEST_F(DataCommandsTest, StatusShowsListingDownloadingAndUploadingThenIdle) {
    CIP_FTPServer server;
    StateRecorder recorder(server.store);
    server.events.Attach(&recorder);
    Control control(Start(server));
    control.LogInAnonymously();

    EXPECT_NE(PassiveCommand(control, "LIST").find("file.txt"), std::string::npos);
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_LIST, CLIENT_IDLE}));
    EXPECT_NE(PassiveCommand(control, "NLST").find("file.txt\r\n"), std::string::npos);
    EXPECT_EQ(Settled(control, recorder), std::vector<uint32_t>{});
    EXPECT_EQ(PassiveCommand(control, "RETR file.txt"), "contents");
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_DOWNLOAD, CLIENT_IDLE}));
    PassiveCommand(control, "STOR new.txt", "uploaded");
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_UPLOAD, CLIENT_IDLE}));
    // A refused download shows the same two changes.
    EXPECT_EQ(control.Command("RETR missing"), "550 RETR failed\r\n");
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_DOWNLOAD, CLIENT_IDLE}));

    EXPECT_EQ(control.Command("QUIT"), "221 Goodbye\r\n");
    server.events.Detach();
}

// Keeps the log texts and what the status view would read at each state
// change: the transfer's name and size.
class TransferRecorder : public ServerEventReceiver {
public:
    explicit TransferRecorder(AccountStore& store) : store_(store) {}

    void OnServerEvent(const char* text, int kind) override {
        std::string seen;
        if (kind == EVENT_STATE_CHANGED) {
            AccountStore::Lock lock(store_);
            const client_s* client = store_.anonymous.clients.head;
            if (client == nullptr) return;
            seen = std::to_string(client->state) + " " + client->transferName + " " +
                   std::to_string(client->transferSize.load());
        } else {
            seen = text;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(seen);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(events_, {});
    }

private:
    AccountStore& store_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// The anonymous session's record, read as the console reads it.
template <typename F>
auto WithClient(CIP_FTPServer& server, F read) {
    AccountStore::Lock lock(server.store);
    return read(server.store.anonymous.clients.head);
}

TEST_F(DataCommandsTest, TransferProgressAndDisconnectFromTheConsole) {
    constexpr int64_t kSize = 64 << 20;
    fs::resize_file(home_ / "file.txt", kSize);
    CIP_FTPServer server;
    TransferRecorder recorder(server.store);
    server.events.Attach(&recorder);
    Control control(Start(server));
    control.LogInAnonymously();
    recorder.Take();

    // A download that the client reads slowly: the record names the file,
    // knows its size and counts what went out so far.
    int port = control.Passive();
    int data = loopback::ConnectTo(port);
    ASSERT_GE(data, 0);
    EXPECT_EQ(control.Command("RETR file.txt"), "150 RETR command started\r\n");
    int64_t sent = 0;
    for (int i = 0; i < 2000 && sent == 0; ++i) {
        char chunk[65536];
        ASSERT_GT(recv(data, chunk, sizeof chunk, 0), 0);
        sent = WithClient(server, [](client_s* c) { return c->transferred.load(); });
    }
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, kSize);
    EXPECT_EQ(recorder.Take(), (std::vector<std::string>{"2 file.txt -1"}));
    EXPECT_EQ(WithClient(server, [](client_s* c) { return c->transferSize.load(); }), kSize);

    // "Disconnect" stops the stalled transfer and ends the session through
    // its normal teardown.
    const client_s* record = WithClient(server, [](client_s* c) { return c; });
    EXPECT_EQ(server.store.RequestDisconnect(record), 0);
    EXPECT_EQ(control.Line(), "550 RETR failed\r\n");
    EXPECT_EQ(control.Line(), "500 Disconnecting\r\n");
    EXPECT_EQ(control.Line(), "");  // closed
    close(data);
    for (int i = 0; i < 500 && WithClient(server, [](client_s* c) { return c; }) != nullptr; ++i) {
        usleep(10000);
    }
    EXPECT_EQ(WithClient(server, [](client_s* c) { return c; }), nullptr);
    EXPECT_EQ(recorder.Take(), (std::vector<std::string>{
                                   "0  -1", "Connection from 127.0.0.1 disconnected."}));
    // The record is gone: a second request finds nothing.
    EXPECT_EQ(server.store.RequestDisconnect(record), 1);
    server.events.Detach();
}

TEST_F(DataCommandsTest, MlsdAndAppeShowTheStatesOfListAndStor) {
    CIP_FTPServer server;
    {
        AccountStore::Lock lock(server.store);
        server.store.options.features = FEATURE_MODERN_COMMANDS;
    }
    StateRecorder recorder(server.store);
    server.events.Attach(&recorder);
    Control control(Start(server));
    control.LogInAnonymously();

    EXPECT_NE(PassiveCommand(control, "MLSD").find("; file.txt\r\n"), std::string::npos);
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_LIST, CLIENT_IDLE}));
    PassiveCommand(control, "APPE file.txt", " and more");
    EXPECT_EQ(Settled(control, recorder), (std::vector<uint32_t>{CLIENT_UPLOAD, CLIENT_IDLE}));
    EXPECT_EQ(PassiveCommand(control, "RETR file.txt"), "contents and more");

    EXPECT_EQ(control.Command("QUIT"), "221 Goodbye\r\n");
    server.events.Detach();
}

TEST_F(DataCommandsTest, PassivePortWrapsFrom32000To10000) {
    if (!loopback::PortIsFree(32000) || !loopback::PortIsFree(10000)) {
        GTEST_SKIP() << "port 32000 or 10000 in use";
    }
    PassivePortServer server(32000);
    Control control(Start(server));
    control.LogInAnonymously();

    std::string reply;
    EXPECT_EQ(control.Passive(&reply), 32000);
    EXPECT_EQ(reply, "227 Entering passive mode (127,0,0,1,125,0)\r\n");
    int data = loopback::ConnectTo(32000);
    control.Command("NLST");
    loopback::ReceiveUntilClosed(data);
    close(data);
    EXPECT_EQ(control.Line(), "226 Transfer Complete\r\n");
    EXPECT_EQ(control.Passive(&reply), 10000);
    EXPECT_EQ(reply, "227 Entering passive mode (127,0,0,1,39,16)\r\n");
}

TEST_F(DataCommandsTest, PasvGivesUpAfter128TakenPortsAndMovesPastThem) {
    constexpr int kFirst = 20000;
    std::vector<int> held;
    for (int port = kFirst; port < kFirst + 128; ++port) {
        int fd = loopback::HoldPort(port);
        if (fd < 0) break;
        held.push_back(fd);
    }
    auto release = [&] {
        for (int fd : held) close(fd);
        held.clear();
    };
    if (held.size() != 128 || !loopback::PortIsFree(kFirst + 128)) {
        release();
        GTEST_SKIP() << "ports " << kFirst << " to " << kFirst + 128 << " are not all free";
    }
    PassivePortServer server(kFirst);
    Control control(Start(server));
    control.LogInAnonymously();

    std::string reply;
    EXPECT_EQ(control.Passive(&reply), -1);
    EXPECT_EQ(reply, "502 All data ports are in use\r\n");
    release();
    EXPECT_EQ(control.Passive(), kFirst + 128);
}

}  // namespace
