// The desktop console driven as its owner drives it: the real main window
// with a real server on loopback, and real FTP clients (ftplib, run by
// ftp_driver.py) logging in, listing and downloading.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config/account_store.h"
#include "engine/ftp_server.h"
#include "gui/event_receiver.h"
#include "gui/log_view.h"
#include "gui/status_tree.h"
#include "gui/tray_icon.h"
#include "gui/twgui_main.h"
#include "net/tls.h"
#include "tests/engine/loopback.h"
#include "tests/gui/console_fixture.h"
#include "ui_twgui_main.h"

using namespace console_fixture;

namespace {

// A window that takes its time for every paint.
class SlowPaints : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::UpdateRequest) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// A loopback address of its own for session `n`.
std::string Address(int n) { return "127.0.0." + std::to_string(10 + n); }

// The last line of a reply (the one whose code is followed by a space).
std::string FinalLine(int fd) {
    for (;;) {
        const std::string line = loopback::ReceiveUntil(fd, "\r\n");
        if (line.size() < 6 || line[3] == ' ') return line;
    }
}

// One login and logout from `from` over a raw connection; false when a
// reply was not the expected one.
bool LoginAndOut(int port, const std::string& from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, to{};
    local.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
              connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    loopback::SetReceiveTimeout(fd, kWaitMs);
    auto step = [&](const char* command, const char* code) {
        if (!ok) return;
        if (command != nullptr) loopback::SendText(fd, command);
        ok = FinalLine(fd).rfind(code, 0) == 0;
    };
    step(nullptr, "220 ");
    step("USER alice\r\n", "331 ");
    step("PASS pw\r\n", "230 ");
    step("QUIT\r\n", "221 ");
    close(fd);
    return ok;
}

}  // namespace

class ConsoleTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

private slots:
    // The executable's start-up names the module; here the build does.
    void initTestCase() { SetTlsModulePath(TARNHOLD_TLS_MODULE); }
    void init() { StartConsole(); }
    void cleanup() { StopConsole(); }

    void startUpListensLogsInNavyAndSetsTheEntries() {
        QCOMPARE(Lines(window_->Log()), QStringList{Listening()});
        QCOMPARE(LastLineColour(window_->Log()), kNavy);
        QCOMPARE(window_->Log()->LogFont().family(), QStringLiteral("Arial"));
        QCOMPARE(window_->Log()->LogFont().pointSize(), 8);
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 0 connections are currently active on the server"));
        QCOMPARE(window_->windowTitle(), QStringLiteral("Tarnwell Server 1.0"));
        Ui::TTWMain& ui = window_->Form();
        QVERIFY(!ui.StartItem->isEnabled() && !ui.StartTBItem->isEnabled());
        QVERIFY(ui.StopItem->isEnabled() && ui.StopTBItem->isEnabled());
        QCOMPARE(ui.MinimizeItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+W")));
        QCOMPARE(ui.ExitItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    }

    void theLogIsReadableSelectableAndCopyable() {
        LogView* log = window_->Log();
        log->AppendLogLine("second line", LogStyle::Note);
        log->AppendLogLine("third line", LogStyle::Error);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(log);
        QVERIFY(accessible != nullptr);
        QCOMPARE(accessible->role(), QAccessible::EditableText);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Log"));
        QVERIFY(accessible->state().readOnly);
        QAccessibleTextInterface* text = accessible->textInterface();
        QVERIFY(text != nullptr);
        const QString all = Listening() + QStringLiteral("\nsecond line\nthird line");
        QCOMPARE(text->characterCount(), all.size());
        QCOMPARE(text->text(0, text->characterCount()), all);
        int start = 0, end = 0;
        const int second = static_cast<int>(Listening().size()) + 1;
        QCOMPARE(text->textAtOffset(second + 3, QAccessible::LineBoundary, &start, &end),
                 QStringLiteral("second line"));
        QCOMPARE(start, second);
        QCOMPARE(text->textAfterOffset(second, QAccessible::LineBoundary, &start, &end),
                 QStringLiteral("third line"));

        // Keyboard: End, then Shift+Up selects the last two lines.
        log->setFocus();
        QTest::keyClick(log, Qt::Key_End);
        QTest::keyClick(log, Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(log->SelectedText(), QStringLiteral("second line\nthird line\n"));
        QCOMPARE(text->selectionCount(), 1);
        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), all + QLatin1Char('\n'));
    }

    // A screen reader reads the status line by its name: the name is the
    // line itself, whatever it says.
    void theStatusLineIsNamedByItsText() {
        QAccessibleInterface* accessible =
            QAccessible::queryAccessibleInterface(window_->StatusLine());
        QVERIFY(accessible != nullptr);
        QCOMPARE(accessible->role(), QAccessible::StaticText);
        QCOMPARE(accessible->text(QAccessible::Name),
                 QStringLiteral("Status: 0 connections are currently active on the server"));
        QCOMPARE(NewClient().Do("login alice pw"), QStringLiteral("ok logged in"));
        QCOMPARE(NewClient().Do("login anonymous me@example.org"), QStringLiteral("ok logged in"));
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 2 connections are currently active on the server"));
        QCOMPARE(accessible->text(QAccessible::Name), StatusLine());
    }

    void oneAnonymousSession() {
        Client& client = NewClient();
        QCOMPARE(client.Do("login anonymous me@example.org"), QStringLiteral("ok logged in"));
        QCOMPARE(
            LastLine(),
            QStringLiteral("Connection from 127.0.0.1 accepted. [Account: Public FTP Account]"));
        QCOMPARE(LastLineColour(window_->Log()), kNavy);
        QCOMPARE(TopTexts(Tree()), QStringList{"Public FTP Account (1 connection)"});
        QTreeWidgetItem* top = Tree()->topLevelItem(0);
        QCOMPARE(ChildTexts(top, 0), QStringList{"127.0.0.1"});
        QCOMPARE(ChildTexts(top, 1), QStringList{"idle"});
        QVERIFY(top->isExpanded());
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 1 connection is currently active on the server"));
    }

    void aSessionOverFtpsShowsTheLock() {
        {
            AccountStore::Lock lock(server_->store);
            server_->store.options.features = FEATURE_TLS;
        }
        Client& plain = NewClient();
        Client& secured = NewClient();
        QCOMPARE(plain.Do("login alice pw"), QStringLiteral("ok logged in"));
        QCOMPARE(secured.Do("tlslogin alice pw"), QStringLiteral("ok logged in"));
        QTRY_COMPARE(TopTexts(Tree()), QStringList{"Alice (2 connections)"});
        const QImage lock = QIcon(QStringLiteral(":/images/secured.svg")).pixmap(16).toImage();
        const QImage session = QIcon(QStringLiteral(":/images/session.svg")).pixmap(16).toImage();
        QTreeWidgetItem* top = Tree()->topLevelItem(0);
        QCOMPARE(top->child(0)->icon(0).pixmap(16).toImage(), session);
        QCOMPARE(top->child(1)->icon(0).pixmap(16).toImage(), lock);
    }

    void twoSessionsOfANamedAccountThenTheLastLogoutRemovesItsNode() {
        Client& first = NewClient();
        Client& second = NewClient();
        QCOMPARE(first.Do("login alice pw"), QStringLiteral("ok logged in"));
        QCOMPARE(second.Do("login ALICE PW"), QStringLiteral("ok logged in"));
        QCOMPARE(TopTexts(Tree()), QStringList{"Alice (2 connections)"});
        QCOMPARE(ChildTexts(Tree()->topLevelItem(0), 1), (QStringList{"idle", "idle"}));
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 2 connections are currently active on the server"));
        const QTreeWidgetItem* node = Tree()->topLevelItem(0);
        const QTreeWidgetItem* secondChild = node->child(1);

        QCOMPARE(first.Do("quit"), QStringLiteral("ok bye"));
        QTRY_COMPARE(TopTexts(Tree()), QStringList{"Alice (1 connection)"});
        // The node and the remaining session's child keep their places.
        QCOMPARE(Tree()->topLevelItem(0), node);
        QCOMPARE(node->child(0), secondChild);
        QCOMPARE(second.Do("quit"), QStringLiteral("ok bye"));
        QTRY_COMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 0 connections are currently active on the server"));
    }

    void nodesKeepTheirPlacesWhateverTheListOrder() {
        // Bob comes before Alice in the account list; Alice's node is made
        // first and Bob's goes below it; the anonymous node always goes on top.
        QCOMPARE(NewClient().Do("login alice pw"), QStringLiteral("ok logged in"));
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(TopTexts(Tree()), (QStringList{"Alice (1 connection)", "Bob (1 connection)"}));
        QCOMPARE(NewClient().Do("login anonymous me@example.org"), QStringLiteral("ok logged in"));
        QCOMPARE(TopTexts(Tree()), (QStringList{"Public FTP Account (1 connection)",
                                                "Alice (1 connection)", "Bob (1 connection)"}));
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 3 connections are currently active on the server"));
    }

    void aConnectionNotLoggedInIsNeitherShownNorCounted() {
        QCOMPARE(NewClient().Do("connect"), QStringLiteral("ok connected"));
        QCOMPARE(NewClient().Do("login bob wrong").left(9), QStringLiteral("error 530"));
        QCOMPARE(LastLine(),
                 QStringLiteral("Connection from 127.0.0.1 rejected. [Reason: bad password]"));
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(TopTexts(Tree()), QStringList{"Bob (1 connection)"});
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 1 connection is currently active on the server"));
    }

    void aDownloadShowsItsStateAndTransferThenIdle() {
        Client& client = NewClient();
        QCOMPARE(client.Do("login anonymous me@example.org"), QStringLiteral("ok logged in"));
        QCOMPARE(client.Do("startretr big.bin 4000000"), QStringLiteral("ok started"));
        QTreeWidgetItem* session = Tree()->topLevelItem(0)->child(0);
        QTRY_COMPARE_WITH_TIMEOUT(session->text(StatusTree::StatusColumn),
                                  QStringLiteral("download"), kWaitMs);
        // Name, bytes so far of the total, and the rate once it is known.
        QTRY_VERIFY_WITH_TIMEOUT(
            session->text(StatusTree::TransferColumn).endsWith(QStringLiteral("/s")), kWaitMs);
        const QString transfer = session->text(StatusTree::TransferColumn);
        QVERIFY2(transfer.startsWith(QStringLiteral("big.bin, ")), qPrintable(transfer));
        QVERIFY2(transfer.contains(QStringLiteral(" of 64.0 MiB")), qPrintable(transfer));
        QCOMPARE(client.Do("fast"), QStringLiteral("ok fast"));
        QCOMPARE(client.Do("waitretr"), QStringLiteral("ok 67108864"));
        QTRY_COMPARE(session->text(StatusTree::StatusColumn), QStringLiteral("idle"));
        QCOMPARE(session->text(StatusTree::TransferColumn), QString());
    }

    void disconnectEndsTheSessionThroughItsTeardown() {
        Client& client = NewClient();
        QCOMPARE(client.Do("login alice pw"), QStringLiteral("ok logged in"));
        Client& other = NewClient();
        QCOMPARE(other.Do("login alice pw"), QStringLiteral("ok logged in"));
        Tree()->setCurrentItem(Tree()->topLevelItem(0)->child(0));
        Tree()->DisconnectAction()->trigger();
        QCOMPARE(client.Do("closed"), QStringLiteral("ok 500 Disconnecting"));
        QTRY_COMPARE(TopTexts(Tree()), QStringList{"Alice (1 connection)"});
        QCOMPARE(LastLine(), QStringLiteral("Connection from 127.0.0.1 disconnected."));
        QCOMPARE(other.Do("noop"), QStringLiteral("ok 200 NOOP command successful"));
        // An account node offers nothing to disconnect.
        Tree()->setCurrentItem(Tree()->topLevelItem(0));
        Tree()->DisconnectAction()->trigger();
        QCOMPARE(other.Do("noop"), QStringLiteral("ok 200 NOOP command successful"));
    }

    void stopThenAFailedStartThenStart() {
        Ui::TTWMain& ui = window_->Form();
        ui.StopTBItem->trigger();
        QCOMPARE(LastLine(),
                 QStringLiteral("Stopped listening for connections on port %1").arg(port_));
        QVERIFY(ui.StartItem->isEnabled() && ui.StartTBItem->isEnabled());
        QVERIFY(!ui.StopItem->isEnabled() && !ui.StopTBItem->isEnabled());
        QCOMPARE(NewClient().Do("connect").left(5), QStringLiteral("error"));

        const int holder = loopback::HoldPort(port_);
        QVERIFY(holder >= 0);
        ui.StartItem->trigger();
        QCOMPARE(LastLine(),
                 QStringLiteral("Could not start listening on port %1. Please check if another "
                                "program is already using this port, or select a different port.")
                     .arg(port_));
        QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        QVERIFY(ui.StartItem->isEnabled() && !ui.StopItem->isEnabled());
        close(holder);

        ui.StartTBItem->trigger();
        QCOMPARE(LastLine(), Listening());
        QVERIFY(!ui.StartItem->isEnabled() && ui.StopItem->isEnabled());
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
    }

    void aFailedStartAtStartUpLeavesBothEntriesEnabled() {
        cleanup();
        const int holder = loopback::HoldPort(port_);
        QVERIFY(holder >= 0);
        server_ = std::make_unique<CIP_FTPServer>();
        window_ =
            std::make_unique<TTWMain>(*server_, SettingsFilesIn(settings_.path().toStdString()));
        close(holder);
        Ui::TTWMain& ui = window_->Form();
        QVERIFY(ui.StartItem->isEnabled() && ui.StopItem->isEnabled());
        QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        ui.StopItem->trigger();
        QCOMPARE(LastLine(),
                 QStringLiteral("Stopped listening for connections on port %1").arg(port_));
        QVERIFY(ui.StartItem->isEnabled() && !ui.StopItem->isEnabled());
    }

    void refusedLinesOfTarnholdConfAreLoggedBeforeTheStart() {
        cleanup();
        const std::string conf = settings_.filePath(QStringLiteral("tarnhold.conf")).toStdString();
        std::ofstream(conf, std::ios::binary) << "# mine\npassive_ports = 80-90\n";
        server_ = std::make_unique<CIP_FTPServer>();
        window_ = std::make_unique<TTWMain>(*server_, Files());
        const QStringList lines = Lines(window_->Log());
        const QColor colour = LogView::StyleColour(window_->Log()->LineStyle(0));
        const QString listening = Listening();
        // The exit writes the file back; the other tests run without it.
        cleanup();
        std::filesystem::remove(conf);
        init();
        QCOMPARE(lines, (QStringList{QStringLiteral("tarnhold.conf line 2: passive_ports '80-90' is "
                                                    "not a range LOW-HIGH of ports with 1024 <= "
                                                    "LOW <= HIGH <= 65535"),
                                     listening}));
        QCOMPARE(colour, kMaroon);
    }

    // With ipv6 = yes an IPv6 client is shown and logged by its RFC 5952
    // text, beside an IPv4 client shown as ever.
    void anIPv6ClientIsShownAndLoggedBesideAnIPv4One() {
        const int probe = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 loopback6{};
        loopback6.sin6_family = AF_INET6;
        loopback6.sin6_addr = in6addr_loopback;
        const bool usable = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback6),
                                               sizeof loopback6) == 0;
        if (probe >= 0) close(probe);
        if (!usable) QSKIP("IPv6 is disabled on this machine (no ::1)");
        cleanup();
        const std::string conf = settings_.filePath(QStringLiteral("tarnhold.conf")).toStdString();
        std::ofstream(conf, std::ios::binary) << "ipv6 = yes\n";
        server_ = std::make_unique<CIP_FTPServer>();
        window_ = std::make_unique<TTWMain>(*server_, Files());
        window_->show();
        QVERIFY(server_->ListeningOnIPv6());
        QCOMPARE(NewClient(QStringLiteral("::1")).Do("login alice pw"),
                 QStringLiteral("ok logged in"));
        const QString ipv6Line = LastLine();
        QCOMPARE(NewClient().Do("login alice pw"), QStringLiteral("ok logged in"));
        QTRY_COMPARE(TopTexts(Tree()), QStringList{"Alice (2 connections)"});
        QStringList shown = ChildTexts(Tree()->topLevelItem(0), 0);
        shown.sort();
        QCOMPARE(shown, (QStringList{"127.0.0.1", "::1"}));
        QCOMPARE(ipv6Line, QStringLiteral("Connection from ::1 accepted. [Account: Alice]"));
        QCOMPARE(LastLine(),
                 QStringLiteral("Connection from 127.0.0.1 accepted. [Account: Alice]"));
        cleanup();
        std::filesystem::remove(conf);
        init();
    }

    void startFromThePopupWhileListeningLeavesTheListenerServing() {
        TrayIcon* tray = window_->Tray();
        QVERIFY(tray->StartAction()->isEnabled() && tray->StopAction()->isEnabled());
        tray->StartAction()->trigger();
        QVERIFY(LastLine().startsWith(QStringLiteral("Could not start listening on port")));
        QVERIFY(!window_->Form().StartItem->isEnabled() && window_->Form().StopItem->isEnabled());
        // The popup's entries are never disabled.
        QVERIFY(tray->StartAction()->isEnabled() && tray->StopAction()->isEnabled());
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(NewClient().Do("login alice pw"), QStringLiteral("ok logged in"));
    }

    void closingKeepsTheWindowAndTheServer() {
        window_->Form().MinimizeItem->trigger();
        // Offscreen there is no notification area: the window is minimised,
        // never lost.
        if (TrayIcon::Available()) {
            QVERIFY(!window_->isVisible());
        } else {
            QTRY_VERIFY(window_->isMinimized());
        }
        QVERIFY(window_->close() == false);
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(LastLine(), QStringLiteral("Connection from 127.0.0.1 accepted. [Account: Bob]"));
        emit window_->Tray()->showRequested();
        QVERIFY(window_->isVisible() && !window_->isMinimized());
    }

    void anErrorEscapingACommandIsShownAndTheWindowGoesOn() {
        QString shown;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            shown = box->text();
            box->accept();
        });
        window_->RunCommand([] { throw std::runtime_error("out of luck"); });
        QCOMPARE(shown, QStringLiteral("out of luck"));
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(TopTexts(Tree()), QStringList{"Bob (1 connection)"});
    }

    void theEventContract() {
        // Any kind but a state change is a log line; a state change only
        // refreshes; a null text is ignored altogether.
        auto send = [this](const char* text, int kind) {
            std::thread session([&] { server_->events.Send(text, kind); });
            session.join();
            SettleWindows();
        };
        const int32_t stamp = window_->RefreshStamp();
        send("a state change", EVENT_STATE_CHANGED);
        QCOMPARE(Lines(window_->Log()).size(), 1);
        QCOMPARE(window_->RefreshStamp(), stamp + 1);
        send("another kind", 0x1234);
        QCOMPARE(LastLine(), QStringLiteral("another kind"));
        QCOMPARE(window_->RefreshStamp(), stamp + 2);
        send(nullptr, EVENT_LOG_TEXT);
        window_->findChild<GuiEventReceiver*>()->OnServerEvent(nullptr, EVENT_LOG_TEXT);
        SettleWindows();
        QCOMPARE(Lines(window_->Log()).size(), 2);
        QCOMPARE(window_->RefreshStamp(), stamp + 2);
    }

    void manySessionsAtOnceWithASlowWindow() {
        // Sessions log in and out at once, each from a loopback address of
        // its own, while every paint of the window takes 20 ms: each
        // session's two lines are logged once and in order, and once the
        // window has caught up the tree shows no session.
        SlowPaints slow;
        window_->installEventFilter(&slow);
        constexpr int kThreads = 10, kRounds = 6;
        std::atomic<int> failed{0}, finished{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int r = 0; r < kRounds; ++r) {
                    if (!LoginAndOut(port_, Address(t * kRounds + r))) ++failed;
                }
                ++finished;
            });
        }
        QTRY_VERIFY_WITH_TIMEOUT(finished.load() == kThreads, kWaitMs);
        for (std::thread& t : threads) t.join();
        QCOMPARE(failed.load(), 0);
        // A session's end is logged after its 221.
        auto ends = [this] {
            return Lines(window_->Log()).filter(QStringLiteral(" disconnected.")).size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(ends(), kThreads * kRounds, kWaitMs);
        SettleWindows();
        const QStringList lines = Lines(window_->Log());
        for (int s = 0; s < kThreads * kRounds; ++s) {
            const QString from = QStringLiteral("Connection from %1 ").arg(
                QString::fromStdString(Address(s)));
            const QString accepted = from + QStringLiteral("accepted. [Account: Alice]");
            const QString ended = from + QStringLiteral("disconnected.");
            QCOMPARE(lines.count(accepted), 1);
            QCOMPARE(lines.count(ended), 1);
            QVERIFY2(lines.indexOf(accepted) < lines.indexOf(ended), qPrintable(from));
        }
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(StatusLine(),
                 QStringLiteral("Status: 0 connections are currently active on the server"));
    }

    void sessionsWaitingForTheWindowNeverHoldUpItsEnd() {
        // Sessions block in their sends while the window handles nothing;
        // the window's end lets them all go and later sends return at once.
        std::atomic<int> sent{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> sessions;
        for (int i = 0; i < 8; ++i) {
            sessions.emplace_back([&, i] {
                while (!stop) {
                    server_->events.Send("busy session",
                                         i % 2 ? EVENT_LOG_TEXT : EVENT_STATE_CHANGED);
                    ++sent;
                }
            });
        }
        QTRY_VERIFY(sent.load() > 100);
        QVERIFY(window_->Shutdown());
        stop = true;
        for (std::thread& s : sessions) s.join();
    }

    void exitWithSessionsConnectedEndsAndSavesTheSettings() {
        Client& idle = NewClient();
        QCOMPARE(idle.Do("login alice pw"), QStringLiteral("ok logged in"));
        Client& busy = NewClient();
        QCOMPARE(busy.Do("login anonymous me@example.org"), QStringLiteral("ok logged in"));
        QCOMPARE(busy.Do("startretr big.bin 1000000"), QStringLiteral("ok started"));
        const QString settings = settings_.filePath(QStringLiteral("tarnhold.bot"));
        QFile::remove(settings);
        window_->Form().ExitItem->trigger();
        QVERIFY(window_->Shutdown());
        QVERIFY(QFile::exists(settings));
        window_.reset();
        server_.reset();  // returns once every session has seen the end
        QCOMPARE(idle.Do("closed"), QStringLiteral("ok 500 Disconnecting"));
    }
};

QTEST_MAIN(ConsoleTest)
#include "console_test.moc"
