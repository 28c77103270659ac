#include "engine/ftp_server.h"
#include "engine/ftp_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/text.h"
#include "tests/engine/loopback.h"

namespace {

using namespace std::chrono_literals;

struct AccountFields {
    const char* name;
    const char* login;
    const char* password;
    uint32_t enabled;
};

account_s* AddAccount(CIP_FTPServer& server, const AccountFields& fields) {
    AccountStore::Lock lock(server.store);
    account_s* account = server.store.AddAccount();
    CopyText(account->name, fields.name);
    CopyText(account->login, fields.login);
    CopyText(account->password, fields.password);
    CopyText(account->home, "/tmp");
    account->enabled = fields.enabled;
    return account;
}

void SetAnonymous(CIP_FTPServer& server, uint32_t enabled, uint32_t emailCheck) {
    AccountStore::Lock lock(server.store);
    server.store.anonymous.enabled = enabled;
    server.store.options.anonemailcheck = emailCheck;
}

TEST(LooksLikeEmailAddress, NeedsAtThenDotThenOneMoreCharacter) {
    struct Case {
        const char* password;
        int expected;
    } cases[] = {
        {"me@example.org", 1}, {"@.x", 1},   {"a@b.c.", 1}, {"a@b", 0},
        {"a@b.", 0},           {"a.b@c", 0}, {"ab.c", 0},   {"", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LooksLikeEmailAddress(c.password), c.expected) << c.password;
    }
    EXPECT_EQ(LooksLikeEmailAddress(nullptr), 0);
}

TEST(FindAccount, MatchesAsTheLoginRulesSay) {
    CIP_FTPServer server;
    AddAccount(server, {"Disabled", "bob", "pw", 0});
    AddAccount(server, {"Alice", "alice", "Secret", 1});
    AddAccount(server, {"First Carol", "carol", "pw", 1});
    AddAccount(server, {"Second Carol", "carol", "pw", 1});
    AddAccount(server, {"Named Anonymous", "anonymous", "named", 1});

    struct Case {
        uint32_t anonymousOn;
        uint32_t emailCheck;
        const char* user;
        const char* password;
        const char* expectedName;  // null: no account
        const char* expectedMessage;
    } cases[] = {
        {1, 0, "anonymous", "anything", ANONYMOUS_ACCOUNT_NAME, "Password OK"},
        {1, 0, "AnonyMous", "", ANONYMOUS_ACCOUNT_NAME, "Password OK"},
        {1, 1, "anonymous", "me@host.org", ANONYMOUS_ACCOUNT_NAME, "Password OK"},
        {1, 1, "anonymous", "me@host.", nullptr, "Please send correct e-mail address as password"},
        {1, 1, "anonymous", "named", nullptr, "Please send correct e-mail address as password"},
        // Off: the name is looked up among the named accounts.
        {0, 0, "anonymous", "named", "Named Anonymous", "Password is OK"},
        {0, 0, "anonymous", "me@host.org", nullptr, "Password not accepted"},
        {1, 0, "ALICE", "sECRET", "Alice", "Password is OK"},
        {1, 0, "alice", "Secre", nullptr, "Password not accepted"},
        {1, 0, "alice", "Secret ", nullptr, "Password not accepted"},
        {1, 0, "bob", "pw", nullptr, "Password not accepted"},
        {1, 0, "carol", "pw", "First Carol", "Password is OK"},
        {1, 0, "nobody", "pw", nullptr, "Password not accepted"},
        {1, 0, "", "", nullptr, "Password not accepted"},
    };
    for (const Case& c : cases) {
        SetAnonymous(server, c.anonymousOn, c.emailCheck);
        AccountStore::Lock lock(server.store);
        const char* message = nullptr;
        account_s* found = server.FindAccount(c.user, c.password, &message);
        std::string where = std::string(c.user) + "/" + c.password + " anonymous " +
                            std::to_string(c.anonymousOn) + " check " +
                            std::to_string(c.emailCheck);
        if (c.expectedName == nullptr) {
            EXPECT_EQ(found, nullptr) << where;
        } else {
            ASSERT_NE(found, nullptr) << where;
            EXPECT_STREQ(found->name, c.expectedName) << where;
        }
        EXPECT_STREQ(message, c.expectedMessage) << where;
    }
}

TEST(IdleTimeout, SixtySecondsUntilSetOtherwise) {
    CIP_FTPServer server;
    EXPECT_EQ(server.IdleTimeout(), 60);
    server.SetIdleTimeout(0);
    EXPECT_EQ(server.IdleTimeout(), 0);
    EXPECT_EQ(server.refuseLowDataPorts.load(), 1);
}

// --- sessions over a real listener ---

class EventLog : public ServerEventReceiver {
public:
    void OnServerEvent(const char* text, int kind) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (kind == EVENT_LOG_TEXT) lines_.emplace_back(text);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A control connection that reads one reply line at a time.
class Client {
public:
    explicit Client(int port) : fd_(loopback::ConnectTo(port)) {}
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    std::string Line() { return loopback::ReceiveUntil(fd_, "\r\n"); }
    std::string Command(const std::string& text) {
        loopback::SendText(fd_, text + "\r\n");
        return Line();
    }
    std::string Rest() { return loopback::ReceiveUntilClosed(fd_); }

private:
    int fd_;
};

class FtpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.events.Attach(&events_);
        ASSERT_EQ(server_.Listen(0, 5, AF_INET, htonl(INADDR_LOOPBACK)), 0);
        ASSERT_EQ(server_.Start(), 0);
        port_ = server_.ListenPort();
    }

    int Clients(account_s* account) {
        AccountStore::Lock lock(server_.store);
        return account->clients.count;
    }

    int Clients() {
        AccountStore::Lock lock(server_.store);
        return server_.store.anonymous.clients.count;
    }

    // Declared before the server, so it outlives the sessions' last events.
    EventLog events_;
    CIP_FTPServer server_;
    int port_ = 0;
};

TEST_F(FtpSessionTest, ReLoginKeepsExactlyOneClientRecord) {
    account_s* alice = AddAccount(server_, {"Alice", "alice", "secret", 1});
    SetAnonymous(server_, 1, 0);
    Client client(port_);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Line(), "220 Connected to Tarnwell Server\r\n");

    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(client.Command("USER alice"), "331 User name OK, send password as PASS\r\n");
        EXPECT_EQ(client.Command("PASS secret"), "230-logon successful\r\n");
        EXPECT_EQ(client.Line(), "230 \r\n");
        EXPECT_EQ(Clients(alice), 1);
    }
    // A failed PASS keeps the record of the earlier login.
    EXPECT_EQ(client.Command("PASS wrong"), "530 User cannot log in\r\n");
    EXPECT_EQ(Clients(alice), 1);
    EXPECT_EQ(client.Command("SYST"), "530 Please login with USER and PASS\r\n");
    // Moving to another account moves the record.
    EXPECT_EQ(client.Command("USER anonymous"),
              "331 anonymous access allowed, send email name as PASS\r\n");
    EXPECT_EQ(client.Command("PASS x"), "230-logon successful\r\n");
    EXPECT_EQ(client.Line(), "230 \r\n");
    EXPECT_EQ(Clients(alice), 0);
    EXPECT_EQ(Clients(), 1);

    EXPECT_EQ(client.Command("QUIT"), "221 Goodbye\r\n");
    EXPECT_EQ(client.Rest(), "");
    ASSERT_TRUE(WaitFor([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(Clients(), 0);

    std::vector<std::string> expected = {
        "Connection from 127.0.0.1 accepted. [Account: Alice]",
        "Connection from 127.0.0.1 accepted. [Account: Alice]",
        "Connection from 127.0.0.1 rejected. [Reason: bad password]",
        "Connection from 127.0.0.1 accepted. [Account: " + std::string(ANONYMOUS_ACCOUNT_NAME) +
            "]",
        "Connection from 127.0.0.1 disconnected.",
    };
    EXPECT_EQ(events_.Lines(), expected);
}

TEST_F(FtpSessionTest, LongAccountNameAndLoginMessageLinesArriveWhole) {
    const std::string name(ACCOUNT_TEXT_SIZE - 1, 'N');
    const std::string longLine(LOGIN_MESSAGE_SIZE - 1 - 15, 'x');
    account_s* account = AddAccount(server_, {name.c_str(), "u", "p", 1});
    {
        AccountStore::Lock lock(server_.store);
        CopyText(account->loginmsg, "one\r\ntwo\n\r" + longLine + "\rlast");
    }
    Client client(port_);
    client.Line();
    client.Command("USER u");
    EXPECT_EQ(client.Command("PASS p"), "230-logon successful\r\n");
    EXPECT_EQ(client.Line(), "230-one\r\n");
    EXPECT_EQ(client.Line(), "230-two\r\n");
    EXPECT_EQ(client.Line(), "230-\r\n");
    EXPECT_EQ(client.Line(), "230-" + longLine + "\r\n");
    EXPECT_EQ(client.Line(), "230 last\r\n");
    // A single line of the full capacity: one reply longer than 1028 bytes.
    {
        AccountStore::Lock lock(server_.store);
        CopyText(account->loginmsg, std::string(LOGIN_MESSAGE_SIZE - 1, 'y'));
    }
    client.Command("USER u");
    EXPECT_EQ(client.Command("PASS p"), "230-logon successful\r\n");
    EXPECT_EQ(client.Line(), "230 " + std::string(LOGIN_MESSAGE_SIZE - 1, 'y') + "\r\n");

    ASSERT_FALSE(events_.Lines().empty());
    EXPECT_EQ(events_.Lines()[0], "Connection from 127.0.0.1 accepted. [Account: " + name + "]");
}

TEST_F(FtpSessionTest, IdleTimeOutIsReadForEveryLine) {
    server_.SetIdleTimeout(0);
    Client client(port_);
    EXPECT_EQ(client.Line(), "220 Connected to Tarnwell Server\r\n");
    // The wait for this line began without a limit (and outlasts the new
    // limit); the wait for the next one has the limit.
    std::this_thread::sleep_for(1500ms);
    server_.SetIdleTimeout(1);
    EXPECT_EQ(client.Command("NOOP"), "200 NOOP command successful\r\n");
    EXPECT_EQ(client.Rest(), "");  // closed without a reply
    ASSERT_TRUE(WaitFor([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(events_.Lines(), std::vector<std::string>{"Connection from 127.0.0.1 disconnected."});
}

// Clients logging in to one account from many threads, each holding its
// login a moment and leaving: with the limits applied, never more than
// its "Max logins" in at once, and never more connections served than
// "Max user limit"; every place comes back. Run under TSan too.
TEST_F(FtpSessionTest, LoginsAtOnceNeverPassTheLimits) {
    account_s* bob = AddAccount(server_, {"Bob", "bob", "pw", 1});
    {
        AccountStore::Lock lock(server_.store);
        bob->maxlogins = 5;
        server_.store.options.maxusers = 12;
        server_.store.confValues.applyLimits = true;
    }
    // The program listens with the system's full queue when the limits are
    // applied; with the design's five, sixteen clients connecting at once
    // overflow it and a greeting can wait out SYN-ACK retries for seconds.
    ASSERT_EQ(server_.Stop(), 0);
    ASSERT_EQ(server_.Listen(0, SOMAXCONN, AF_INET, htonl(INADDR_LOOPBACK)), 0);
    ASSERT_EQ(server_.Start(), 0);
    port_ = server_.ListenPort();
    constexpr int kClients = 16;
    constexpr int kRounds = 6;
    std::atomic<bool> done{false};
    std::atomic<int> mostIn{0}, mostServed{0}, loggedIn{0};
    std::thread watcher([&] {
        while (!done.load()) {
            const int in = Clients(bob);
            const int served = server_.ServedCount();
            if (in > mostIn.load()) mostIn.store(in);
            if (served > mostServed.load()) mostServed.store(served);
            std::this_thread::sleep_for(100us);
        }
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                Client client(port_);
                const std::string greeting = client.Line();
                if (greeting == "550 Too Many Connections, Please Try Later.\r\n") continue;
                EXPECT_EQ(greeting, "220 Connected to Tarnwell Server\r\n");
                client.Command("USER bob");
                const std::string reply = client.Command("PASS pw");
                if (reply == "230-logon successful\r\n") {
                    client.Line();
                    loggedIn.fetch_add(1);
                    std::this_thread::sleep_for(2ms);
                } else {
                    EXPECT_EQ(reply, "530 Too many sessions for this account\r\n");
                }
                EXPECT_EQ(client.Command("QUIT"), "221 Goodbye\r\n");
            }
        });
    }
    for (std::thread& client : clients) client.join();
    done.store(true);
    watcher.join();
    EXPECT_GT(loggedIn.load(), 0);
    EXPECT_LE(mostIn.load(), 5);
    EXPECT_LE(mostServed.load(), 12);
    ASSERT_TRUE(WaitFor([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(server_.ServedCount(), 0);
    EXPECT_EQ(Clients(bob), 0);
}

TEST_F(FtpSessionTest, DeletedAccountLivesUntilItsSessionEnds) {
    account_s* alice = AddAccount(server_, {"Alice", "alice", "secret", 1});
    Client client(port_);
    client.Line();
    client.Command("USER alice");
    client.Command("PASS secret");
    client.Line();
    {
        AccountStore::Lock lock(server_.store);
        EXPECT_EQ(server_.store.DeleteAccount(alice), 0);
    }
    EXPECT_EQ(server_.store.RetiredCount(), 1);
    EXPECT_EQ(client.Command("QUIT"), "221 Goodbye\r\n");
    ASSERT_TRUE(WaitFor([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(server_.store.RetiredCount(), 0);
}

// Destruction with sessions connected: each is told and ends; the records
// they still hold (one in a deleted account) are discarded afterwards.
// A session that logged in earlier keeps its record through a failed PASS,
// so the console can still end it while the login guard holds its 530.
TEST_F(FtpSessionTest, ConsoleDisconnectEndsTheLoginGuardsWait) {
    account_s* alice = AddAccount(server_, {"Alice", "alice", "secret", 1});
    {
        AccountStore::Lock lock(server_.store);
        server_.store.options.features = FEATURE_LOGIN_GUARD;
    }
    Client client(port_);
    client.Line();
    client.Command("USER alice");
    EXPECT_EQ(client.Command("PASS secret"), "230-logon successful\r\n");
    client.Line();
    // Earlier failures of this address: the next one blocks it for 36 s,
    // longer than any wait the test would sit out.
    const uint32_t loopbackAddress = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 5; ++i) server_.AccessControl().RecordOffence(&loopbackAddress);
    client.Command("USER alice");
    loopback::SendText(client.Fd(), "PASS wrong\r\n");
    const std::string rejected = "Connection from 127.0.0.1 rejected. [Reason: bad password]";
    ASSERT_TRUE(WaitFor([&] { return events_.Lines().back() == rejected; }));
    const client_s* record;
    {
        AccountStore::Lock lock(server_.store);
        record = alice->clients.head;
    }
    EXPECT_EQ(server_.store.RequestDisconnect(record), 0);
    // Instead of the 530: the session ends as a disconnected one does.
    EXPECT_EQ(client.Rest(), "500 Disconnecting\r\n");
    ASSERT_TRUE(WaitFor([&] { return server_.ClientCount() == 0; }));
    EXPECT_EQ(events_.Lines().back(), "Connection from 127.0.0.1 disconnected.");
    EXPECT_EQ(Clients(alice), 0);
}

TEST(FtpServerShutdown, SessionsAreToldAndTheServerWaitsForThem) {
    EventLog events;
    auto server = std::make_unique<CIP_FTPServer>();
    server->events.Attach(&events);
    account_s* alice = AddAccount(*server, {"Alice", "alice", "secret", 1});
    ASSERT_EQ(server->Listen(0, 5, AF_INET, htonl(INADDR_LOOPBACK)), 0);
    ASSERT_EQ(server->Start(), 0);
    Client loggedIn(server->ListenPort());
    Client idle(server->ListenPort());
    loggedIn.Line();
    idle.Line();
    loggedIn.Command("USER alice");
    EXPECT_EQ(loggedIn.Command("PASS secret"), "230-logon successful\r\n");
    loggedIn.Line();
    {
        AccountStore::Lock lock(server->store);
        server->store.DeleteAccount(alice);
    }
    ASSERT_TRUE(WaitFor([&] { return server->ClientCount() == 2; }));

    server.reset();
    EXPECT_EQ(loggedIn.Rest(), "500 Disconnecting\r\n");
    EXPECT_EQ(idle.Rest(), "500 Disconnecting\r\n");
    // Only the login reached the log: no disconnection line on this path.
    EXPECT_EQ(events.Lines().size(), 1u);
}

// A server whose report hook keeps the texts, as an embedding program's
// would: the sessions format them only for such a server.
class ReportingServer : public CIP_FTPServer {
public:
    // The sessions call this object's overrides until they are joined.
    ~ReportingServer() override { ShutdownAndWait(); }

    void ReportText(const char* text) override {
        std::lock_guard<std::mutex> guard(mutex_);
        texts_.emplace_back(text);
    }
    bool ReportsText() const override { return true; }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> guard(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

TEST(ReportText, ASessionReportsEachCommandAndItsResult) {
    ReportingServer server;
    ASSERT_EQ(server.Listen(0, 5, AF_INET, htonl(INADDR_LOOPBACK)), 0);
    ASSERT_EQ(server.Start(), 0);
    {
        Client client(server.ListenPort());
        EXPECT_EQ(client.Line(), "220 Connected to Tarnwell Server\r\n");
        EXPECT_EQ(client.Command("SYST"), "530 Please login with USER and PASS\r\n");
        const std::string tooLong(FTP_MAX_COMMAND_LENGTH + 1, 'x');
        EXPECT_EQ(client.Command(tooLong), "550 Access is denied\r\n");
        EXPECT_EQ(client.Command("QUIT"), "221 Goodbye\r\n");
        EXPECT_EQ(client.Rest(), "");
    }
    ASSERT_TRUE(WaitFor([&] { return server.ClientCount() == 0; }));
    const std::vector<std::string> expected = {
        "Client [127.0.0.1] has connected ",
        "[127.0.0.1] issued command 30 ' SYST ' ",
        "[] command 30 ' SYST ' has failed",
        "Client [127.0.0.1] is Sent too large data",
        "Client [127.0.0.1] sent too large data",
        "[127.0.0.1] issued command 7 ' QUIT ' ",
        "Client [127.0.0.1] has disconnected ",
    };
    EXPECT_EQ(server.Texts(), expected);
}

}  // namespace
