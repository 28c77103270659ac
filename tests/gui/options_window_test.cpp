// The options window driven as its owner drives it, against the running
// server: the stored options, the start-at-logon entry in an autostart
// folder of the test's own (XDG_CONFIG_HOME), the idle time-out seen by a
// real FTP client, and the port taken at the next Start.
#include <unistd.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/program_paths.h"
#include "config/account_store.h"
#include "gui/autostart_entry.h"
#include "gui/twgui_server.h"
#include "tests/gui/console_fixture.h"
#include "ui_twgui_main.h"
#include "ui_twgui_server.h"

using namespace console_fixture;

namespace {

const QString kFolderFailed = QStringLiteral(
    "Could not create/open subkey in windows registry. You may need to login as administrator.");
const QString kEntryFailed = QStringLiteral(
    "Could not set values in windows registry. You may need to login as administrator");

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

class OptionsWindowTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

    QTemporaryDir config_;

    std::filesystem::path EntryPath() const {
        return std::filesystem::path(config_.path().toStdString()) / "autostart" /
               "TARNHOLD.desktop";
    }
    TTWServer* Options() {
        window_->Form().ServerOptionsItem->trigger();
        return window_->findChild<TTWServer*>();
    }
    static void Type(QDoubleSpinBox* field, const QString& text) {
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    static void Ok(TTWServer* options) {
        QTest::mouseClick(options->Form().Button1, Qt::LeftButton);
    }
    static void ClickBox(TTWServer* options) {
        QTest::mouseClick(options->Form().CheckBox1, Qt::LeftButton);
    }
    // A click on the box's square: a box in a wide cell is no wider than
    // its text, so its middle may be empty.
    static void Tick(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    srvropt_s Stored() const {
        AccountStore::Lock lock(server_->store);
        return server_->store.options;
    }
    int ErrorLines() const {
        int count = 0;
        for (int i = 0; i < window_->Log()->LineCount(); ++i) {
            count += window_->Log()->LineStyle(i) == LogStyle::Error ? 1 : 0;
        }
        return count;
    }

private slots:
    void init() {
        QVERIFY(config_.isValid());
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        StartConsole();
    }
    void cleanup() {
        StopConsole();
        std::filesystem::remove_all(config_.path().toStdString() + "/autostart");
    }

    void theWindowAsDesignedWithBuddiesAndNoTitleButtons() {
        TTWServer* options = Options();
        QVERIFY(options != nullptr && options->isVisible());
        QCOMPARE(options->windowTitle(), QStringLiteral("Tarnwell Server options"));
        QVERIFY(options->isWindow() && options->parentWidget() == window_.get());
        QVERIFY(!(options->windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(options->width() >= 304 && options->height() >= 297);
        Ui::TTWServer& ui = options->Form();
        QCOMPARE(ui.PortLabel->buddy(), ui.dxSpinEdit1);
        QCOMPARE(ui.MaxUsersLabel->buddy(), ui.dxSpinEdit2);
        QCOMPARE(ui.IdleLabel->buddy(), ui.dxSpinEdit3);
        QCOMPARE(ui.HeadingLabel->text(), QStringLiteral("Server options"));
        QCOMPARE(ui.CheckBox1->text().remove(QLatin1Char('&')),
                 QStringLiteral("Start server on windows boot up"));
        QCOMPARE(ui.Button1->text(), QStringLiteral("Ok"));
        // One window, shown again.
        Ok(options);
        QVERIFY(!options->isVisible());
        QCOMPARE(Options(), options);
    }

    void aFreshStartShowsTheDefaultsAndOkWithoutAClickWritesNothing() {
        StopConsole();
        QTemporaryDir empty;
        server_ = std::make_unique<CIP_FTPServer>();
        window_ = std::make_unique<TTWMain>(*server_, SettingsFilesIn(empty.path().toStdString()));
        TTWServer* options = Options();
        Ui::TTWServer& ui = options->Form();
        QCOMPARE(ui.dxSpinEdit1->value(), 21.0);
        QCOMPARE(ui.dxSpinEdit2->value(), 100.0);
        QCOMPARE(ui.dxSpinEdit3->value(), 300.0);
        QVERIFY(ui.CheckBox1->isChecked());
        QVERIFY(!options->BootChanged());
        Ok(options);
        QVERIFY(!options->isVisible());
        QVERIFY(!std::filesystem::exists(EntryPath().parent_path()));
        StopConsole();
    }

    void afterOneClickEveryOkWritesOrDeletesTheEntry() {
        // The test's settings keep the box clear.
        TTWServer* options = Options();
        QVERIFY(!options->Form().CheckBox1->isChecked());
        ClickBox(options);
        QVERIFY(options->BootChanged() && options->Form().CheckBox1->isChecked());
        Ok(options);
        QCOMPARE(Stored().startatboot, 1u);
        const std::string text = ReadFile(EntryPath());
        QCOMPARE(text, AutostartEntry::Text(ExecutablePath()));
        QVERIFY(text.starts_with("[Desktop Entry]\n"));
        QVERIFY(text.find("\nType=Application\n") != std::string::npos);
        QVERIFY(text.find("\nName=Tarnwell Server\n") != std::string::npos);
        QVERIFY(text.find("\nExec=" + AutostartEntry::ExecArgument(ExecutablePath()) + "\n") !=
                std::string::npos);
        // No temporary file is left beside it.
        QCOMPARE(std::distance(std::filesystem::directory_iterator(EntryPath().parent_path()),
                               std::filesystem::directory_iterator()),
                 1);

        // Without a new click, Ok writes the entry again...
        std::filesystem::remove(EntryPath());
        options = Options();
        Ok(options);
        QVERIFY(std::filesystem::exists(EntryPath()));
        // ...and, with the box cleared, deletes it...
        options = Options();
        ClickBox(options);
        Ok(options);
        QVERIFY(!std::filesystem::exists(EntryPath()));
        QCOMPARE(ErrorLines(), 0);
        // ...and once more, when it is gone: the second failure.
        options = Options();
        Ok(options);
        QCOMPARE(LastLine(), kEntryFailed);
        QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        QCOMPARE(ErrorLines(), 1);
        QCOMPARE(Stored().startatboot, 0u);
    }

    void anAutostartFolderThatCannotBeMadeLogsTheFirstLineAndStoresTheOptions() {
        // A file where the configuration folder should be.
        const std::string blocker = config_.path().toStdString() + "/not-a-folder";
        std::ofstream(blocker) << "x";
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(blocker));
        TTWServer* options = Options();
        Type(options->Form().dxSpinEdit2, QStringLiteral("42"));
        Type(options->Form().dxSpinEdit3, QStringLiteral("77"));
        ClickBox(options);
        Ok(options);
        QCOMPARE(LastLine(), kFolderFailed);
        QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        const srvropt_s stored = Stored();
        QCOMPARE(stored.maxusers, 42u);
        QCOMPARE(stored.idletimeout, 77u);
        QCOMPARE(stored.startatboot, 1u);
        QCOMPARE(server_->IdleTimeout(), 77);
        QVERIFY(!options->isVisible());
    }

    void escapeStoresNothingAndTheNextOpenShowsTheStoredValues() {
        TTWServer* options = Options();
        Type(options->Form().dxSpinEdit2, QStringLiteral("5"));
        ClickBox(options);
        QTest::keyClick(options, Qt::Key_Escape);
        QVERIFY(!options->isVisible());
        QCOMPARE(Stored().maxusers, 100u);
        options = Options();
        QCOMPARE(options->Form().dxSpinEdit2->value(), 100.0);
        QVERIFY(!options->Form().CheckBox1->isChecked());
    }

    void theModernCommandsFollowTheirBoxAndLeaveTheOtherBits() {
        {
            AccountStore::Lock lock(server_->store);
            server_->store.options.features = 0x8;
        }
        TTWServer* options = Options();
        QCheckBox* box = options->Form().ModernCommandsCheck;
        QVERIFY(!box->isChecked());
        Client& before = NewClient();
        QCOMPARE(before.Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(before.Do("cmd FEAT"), QStringLiteral("error 502 Command not implemented"));
        QTest::mouseClick(box, Qt::LeftButton);
        Ok(options);
        QCOMPARE(Stored().features, 0x9u);
        // Sessions see it at their next command.
        QVERIFY(before.Do("cmd FEAT").startsWith(QStringLiteral("ok 211-Extensions supported:")));
        options = Options();
        QVERIFY(options->Form().ModernCommandsCheck->isChecked());
        QTest::mouseClick(options->Form().ModernCommandsCheck, Qt::LeftButton);
        Ok(options);
        QCOMPARE(Stored().features, 0x8u);
    }

    void theFtpsAndGuardBoxesStoreTheirBitsAndLeaveTheOthers() {
        {
            AccountStore::Lock lock(server_->store);
            server_->store.options.features = 0x1;
        }
        TTWServer* options = Options();
        auto& form = options->Form();
        QVERIFY(!form.TlsOfferCheck->isChecked() && !form.TlsRequireCheck->isChecked());
        QVERIFY(!form.LoginGuardCheck->isChecked());
        // Requiring FTPS offers it too.
        Tick(form.TlsRequireCheck);
        QVERIFY(form.TlsOfferCheck->isChecked());
        Ok(options);
        QCOMPARE(Stored().features, 0x7u);

        options = Options();
        QVERIFY(options->Form().TlsOfferCheck->isChecked());
        QVERIFY(options->Form().TlsRequireCheck->isChecked());
        Tick(options->Form().LoginGuardCheck);
        Ok(options);
        QCOMPARE(Stored().features, 0xfu);

        // Not offering FTPS cannot require it.
        options = Options();
        Tick(options->Form().TlsOfferCheck);
        QVERIFY(!options->Form().TlsRequireCheck->isChecked());
        Ok(options);
        QCOMPARE(Stored().features, 0x9u);

        options = Options();
        Tick(options->Form().TlsOfferCheck);
        Tick(options->Form().LoginGuardCheck);
        Ok(options);
        QCOMPARE(Stored().features, 0x3u);
    }

    void aNewIdleTimeoutEndsAnIdleSessionAtTheNewBound() {
        Client& client = NewClient();
        QCOMPARE(client.Do("login bob pw"), QStringLiteral("ok logged in"));
        TTWServer* options = Options();
        Type(options->Form().dxSpinEdit3, QStringLiteral("2"));
        Ok(options);
        QCOMPARE(server_->IdleTimeout(), 2);
        // The session takes the bound with its next line.
        QCOMPARE(client.Do("noop"), QStringLiteral("ok 200 NOOP command successful"));
        QElapsedTimer idle;
        idle.start();
        QCOMPARE(client.Do("closed"), QStringLiteral("ok"));
        // Well before the 300 seconds it had, never before the 2 it has.
        QVERIFY(idle.elapsed() >= 1500);
        QCOMPARE(LastLine(), QStringLiteral("Connection from 127.0.0.1 disconnected."));
    }

    void aNewPortIsUsedAtTheNextStopAndStartNotBefore() {
        const int newPort = loopback::FreeListeningPort();
        TTWServer* options = Options();
        Type(options->Form().dxSpinEdit1, QString::number(newPort));
        Ok(options);
        QCOMPARE(Stored().port, static_cast<uint32_t>(newPort));
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(Client(newPort).Do("connect").left(5), QStringLiteral("error"));

        window_->Form().StopItem->trigger();
        QCOMPARE(LastLine(),
                 QStringLiteral("Stopped listening for connections on port %1").arg(newPort));
        window_->Form().StartItem->trigger();
        QCOMPARE(LastLine(), QStringLiteral("Listening for connections on port %1").arg(newPort));
        QCOMPARE(Client(newPort).Do("login alice pw"), QStringLiteral("ok logged in"));
        QCOMPARE(Client(port_).Do("connect").left(5), QStringLiteral("error"));
    }

    void theFieldsRefuseWhatTheirOptionCannotHoldAndPortZeroFailsTheStart() {
        TTWServer* options = Options();
        Ui::TTWServer& ui = options->Form();
        for (QDoubleSpinBox* field : {ui.dxSpinEdit1, ui.dxSpinEdit2, ui.dxSpinEdit3}) {
            Type(field, QStringLiteral("4294967295"));
            QCOMPARE(field->value(), 4294967295.0);
            Type(field, QStringLiteral("99999999999"));
            QVERIFY(field->value() <= 4294967295.0);
            Type(field, QStringLiteral("-1"));
            QVERIFY(field->value() >= 0.0);
        }
        Type(ui.dxSpinEdit1, QStringLiteral("0"));
        Type(ui.dxSpinEdit3, QStringLiteral("4294967295"));
        Ok(options);
        QCOMPARE(Stored().idletimeout, 4294967295u);
        // Never "no limit": the largest bound the sessions can count.
        QCOMPARE(server_->IdleTimeout(), INT_MAX);
        window_->Form().StopItem->trigger();
        window_->Form().StartItem->trigger();
        QCOMPARE(LastLine(),
                 QStringLiteral("Could not start listening on port 0. Please check if another "
                                "program is already using this port, or select a different port."));
    }

    void theExecLineQuotesWhatTheDesktopWouldSplitOrExpand_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("exec");
        const auto row = [](const char* name, const char* path, const char* exec) {
            QTest::newRow(name) << QString::fromUtf8(path) << QString::fromUtf8(exec);
        };
        row("plain", "/usr/bin/tarnhold", "/usr/bin/tarnhold");
        row("space", "/opt/my apps/tarnhold", "\"/opt/my apps/tarnhold\"");
        row("percent", "/opt/100%/tarnhold", "/opt/100%%/tarnhold");
        // Quoted with backslashes, which the value's own escaping doubles.
        row("dollar and quote", "/a$b/\"c\"", "\"/a\\\\$b/\\\\\"c\\\\\"\"");
        row("backslash", "/a\\b", "\"/a\\\\\\\\b\"");
        row("tilde and semicolon", "/x~;y", "\"/x~;y\"");
        row("newline", "/a\nb", "\"/a\\nb\"");
    }
    void theExecLineQuotesWhatTheDesktopWouldSplitOrExpand() {
        QFETCH(QString, path);
        QFETCH(QString, exec);
        QCOMPARE(QString::fromStdString(AutostartEntry::ExecArgument(path.toStdString())), exec);
    }
};

QTEST_MAIN(OptionsWindowTest)
#include "options_window_test.moc"
