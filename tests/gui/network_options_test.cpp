// The "Network options" window driven as its owner drives it, against the
// running server: the fields filled from tarnhold.conf, "Ok" storing every
// field and writing the file with the owner's own lines kept, a refused
// value storing nothing, Escape storing nothing, the passive range
// announced to a real FTP client after the next Stop and Start, and the
// limits applied at once.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/account_store.h"
#include "gui/network_options.h"
#include "tests/gui/console_fixture.h"
#include "ui_network_options.h"
#include "ui_twgui_main.h"

using namespace console_fixture;

namespace {

// Hand edits: a comment with odd blanks, a key of a newer version, CR LF.
const std::string kHandWritten =
    "#  my router forwards 21 only   \r\n"
    "passive_address = 203.0.113.9\r\n"
    "\r\n"
    "future_key = 1\r\n";

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Types `text` over what the field holds.
void Type(QLineEdit* field, const QString& text) {
    field->selectAll();
    if (text.isEmpty()) {
        QTest::keyClick(field, Qt::Key_Delete);
    } else {
        QTest::keyClicks(field, text);
    }
}

}  // namespace

class NetworkOptionsTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

    std::filesystem::path ConfPath() const { return Files().confPath; }
    NetworkOptions* Window() {
        window_->Form().NetworkOptionsItem->trigger();
        return window_->findChild<NetworkOptions*>();
    }
    ConfValues Stored() const { return server_->store.ConfSnapshot(); }

    // Clicks "Ok"; returns the text of the message box it showed, which is
    // then closed, or an empty text when it showed none.
    static QString Ok(NetworkOptions* window) {
        QString shown;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->close();
            }
        });
        closer.start(10);
        QTest::mouseClick(window->Form().OkButton, Qt::LeftButton);
        return shown;
    }

    // A new client's PASV reply (one each: a session's listening socket
    // stays until its next data command): its address and port.
    void Pasv(QString& address, int& port) {
        Client& client = NewClient();
        QCOMPARE(client.Do("login bob pw"), QStringLiteral("ok logged in"));
        // "ok 227 Entering passive mode (127,0,0,1,P1,P2)"
        const QString reply = client.Do("cmd PASV");
        const int open = reply.indexOf(QLatin1Char('('));
        const QStringList numbers =
            reply.mid(open + 1, reply.indexOf(QLatin1Char(')')) - open - 1).split(',');
        QVERIFY2(reply.startsWith(QStringLiteral("ok 227")) && numbers.size() == 6,
                 qPrintable(reply));
        address = numbers.mid(0, 4).join('.');
        port = numbers[4].toInt() * 256 + numbers[5].toInt();
    }

private slots:
    void init() {
        std::ofstream(ConfPath(), std::ios::binary) << kHandWritten;
        StartConsole();
    }
    void cleanup() { StopConsole(); }

    void aTopLevelWindowWithBuddiesAndMnemonicsOfItsOwn() {
        const QList<QAction*> tools = window_->Form().ToolsMenu->actions();
        const int options = tools.indexOf(window_->Form().ServerOptionsItem);
        QCOMPARE(tools.value(options + 1), window_->Form().NetworkOptionsItem);
        QCOMPARE(window_->Form().NetworkOptionsItem->text(), QStringLiteral("&Network options..."));

        NetworkOptions* window = Window();
        QVERIFY(window != nullptr && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Network options"));
        QVERIFY(window->isWindow() && window->parentWidget() == window_.get());
        Ui::NetworkOptions& ui = window->Form();
        QCOMPARE(ui.PassivePortsLabel->buddy(), ui.PassivePortsEdit);
        QCOMPARE(ui.PassiveAddressLabel->buddy(), ui.PassiveAddressEdit);
        QCOMPARE(ui.PassivePortsLabel->text(), QStringLiteral("&Passive ports:"));
        QCOMPARE(ui.PassiveAddressLabel->text(), QStringLiteral("Public &address:"));
        QCOMPARE(ui.PortMappingCheck->text(),
                 QStringLiteral("Ask the &router to forward the ports (UPnP, NAT-PMP)"));
        QCOMPARE(ui.Ipv6Check->text(), QStringLiteral("Serve &IPv6 clients too (listen on [::])"));
        QVERIFY(!ui.PassivePortsEdit->placeholderText().isEmpty());
        QCOMPARE(ui.TransferLogLabel->buddy(), ui.TransferLogEdit);
        QCOMPARE(ui.HashPasswordsCheck->text(), QStringLiteral("Store passwords &hashed (argon2id)"));
        // No two mnemonics of the window share a letter.
        QSet<QChar> letters;
        int mnemonics = 0;
        const QList<QWidget*> widgets = window->findChildren<QWidget*>();
        for (QWidget* widget : widgets) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
            const int amp = text.indexOf(QLatin1Char('&'));
            if (amp < 0 || amp + 1 >= text.size()) continue;
            ++mnemonics;
            letters.insert(text.at(amp + 1).toLower());
        }
        QCOMPARE(ui.ApplyLimitsCheck->text(),
                 QStringLiteral("Apply the &limits: Max user limit, Max logins, Timeout interval"));
        QCOMPARE(mnemonics, 7);
        QCOMPARE(letters.size(), mnemonics);
        // One window, shown again.
        QCOMPARE(Ok(window), QString());
        QVERIFY(!window->isVisible());
        QCOMPARE(Window(), window);
    }

    void okStoresEveryFieldAndKeepsTheOwnersLines() {
        NetworkOptions* window = Window();
        Ui::NetworkOptions& ui = window->Form();
        // The fields as tarnhold.conf has them.
        QCOMPARE(ui.PassivePortsEdit->text(), QString());
        QCOMPARE(ui.PassiveAddressEdit->text(), QStringLiteral("203.0.113.9"));
        QVERIFY(!ui.PortMappingCheck->isChecked());
        QVERIFY(!ui.Ipv6Check->isChecked());
        QVERIFY(!ui.HashPasswordsCheck->isChecked());
        QCOMPARE(ui.TransferLogEdit->text(), QString());

        Type(ui.PassivePortsEdit, QStringLiteral(" 40000-40009 "));
        Type(ui.PassiveAddressEdit, QStringLiteral("home.example.net"));
        ui.PortMappingCheck->click();
        ui.Ipv6Check->click();
        ui.HashPasswordsCheck->click();
        Type(ui.TransferLogEdit, QStringLiteral("logs/xferlog"));
        QCOMPARE(Ok(window), QString());
        QVERIFY(!window->isVisible());

        ConfValues expected;
        expected.passivePorts = PortRange{40000, 40009};
        expected.passiveAddress = "home.example.net";
        expected.portMapping = true;
        expected.ipv6 = true;
        expected.hashPasswords = true;
        expected.transferLog = "logs/xferlog";
        QVERIFY(Stored() == expected);
        QCOMPARE(ReadFile(ConfPath()), "#  my router forwards 21 only   \r\n"
                                       "passive_address = home.example.net\r\n"
                                       "\r\n"
                                       "future_key = 1\r\n"
                                       "passive_ports = 40000-40009\r\n"
                                       "port_mapping = yes\r\n"
                                       "ipv6 = yes\r\n"
                                       "password_storage = hashed\r\n"
                                       "transfer_log = logs/xferlog\r\n");

        // Opened again, it shows what is stored; "Ok" without a change
        // leaves the file as it is.
        window = Window();
        QCOMPARE(ui.PassivePortsEdit->text(), QStringLiteral("40000-40009"));
        QCOMPARE(ui.PassiveAddressEdit->text(), QStringLiteral("home.example.net"));
        QVERIFY(ui.PortMappingCheck->isChecked());
        QVERIFY(ui.Ipv6Check->isChecked());
        QVERIFY(ui.HashPasswordsCheck->isChecked());
        QCOMPARE(ui.TransferLogEdit->text(), QStringLiteral("logs/xferlog"));
        const std::string before = ReadFile(ConfPath());
        QCOMPARE(Ok(window), QString());
        QCOMPARE(ReadFile(ConfPath()), before);
    }

    void aRefusedValueSaysWhyAndStoresNothing_data() {
        QTest::addColumn<QString>("ports");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reason");
        QTest::newRow("reversed range") << "2000-1000" << "203.0.113.9" << "passive_ports '2000-1000'";
        QTest::newRow("privileged ports") << "80-90" << "203.0.113.9" << "passive_ports '80-90'";
        QTest::newRow("one number") << "40000" << "203.0.113.9" << "passive_ports '40000'";
        // A good range does not get stored beside a refused address.
        QTest::newRow("bad address") << "40000-40009" << "my host!" << "passive_address 'my host!'";
    }
    void aRefusedValueSaysWhyAndStoresNothing() {
        QFETCH(QString, ports);
        QFETCH(QString, address);
        QFETCH(QString, reason);
        const ConfValues before = Stored();
        NetworkOptions* window = Window();
        Type(window->Form().PassivePortsEdit, ports);
        Type(window->Form().PassiveAddressEdit, address);
        window->Form().PortMappingCheck->click();
        const QString shown = Ok(window);
        QVERIFY2(shown.startsWith(reason), qPrintable(shown));
        QVERIFY(window->isVisible());
        QVERIFY(Stored() == before);
        QCOMPARE(ReadFile(ConfPath()), kHandWritten);
        // Mended, the same window stores.
        Type(window->Form().PassivePortsEdit, QStringLiteral("40000-40009"));
        Type(window->Form().PassiveAddressEdit, QString());
        QCOMPARE(Ok(window), QString());
        QVERIFY(!window->isVisible());
        QVERIFY(Stored().passivePorts == (PortRange{40000, 40009}));
        QCOMPARE(Stored().passiveAddress, std::string());
    }

    void escapeStoresNothingAndTheNextOpeningShowsTheStoredValues() {
        NetworkOptions* window = Window();
        Type(window->Form().PassivePortsEdit, QStringLiteral("40000-40009"));
        window->Form().PortMappingCheck->click();
        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!window->isVisible());
        QVERIFY(Stored() == ParseConf([] {
                    ConfFile file;
                    file.SetText(kHandWritten);
                    return file;
                }()));
        QCOMPARE(ReadFile(ConfPath()), kHandWritten);
        window = Window();
        QCOMPARE(window->Form().PassivePortsEdit->text(), QString());
        QVERIFY(!window->Form().PortMappingCheck->isChecked());
    }

    void aFailedSaveIsLoggedAndTheValuesAreStoredAllTheSame() {
        NetworkOptions* window = Window();
        // A folder where the file should be: the file cannot replace it.
        std::filesystem::remove(ConfPath());
        std::filesystem::create_directory(ConfPath());
        Type(window->Form().PassivePortsEdit, QStringLiteral("40000-40009"));
        QCOMPARE(Ok(window), QString());
        QVERIFY(!window->isVisible());
        QVERIFY(LastLine().startsWith(QStringLiteral("Could not save the network options in ") +
                                      QString::fromStdString(ConfPath().string()) + ": "));
        QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        QVERIFY(Stored().passivePorts == (PortRange{40000, 40009}));
        std::filesystem::remove(ConfPath());
    }

    // Unlike the passive settings, the limits need no new Start: the next
    // login already meets Bob's "Max logins".
    void theLimitsApplyAtOnce() {
        {
            AccountStore::Lock lock(server_->store);
            for (account_s* a = server_->store.accounts.head; a != nullptr; a = a->next) {
                if (std::string(a->login) == "bob") a->maxlogins = 1;
            }
        }
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));

        NetworkOptions* window = Window();
        QVERIFY(!window->Form().ApplyLimitsCheck->isChecked());
        window->Form().ApplyLimitsCheck->click();
        QCOMPARE(Ok(window), QString());
        QVERIFY(Stored().applyLimits);
        QVERIFY(ReadFile(ConfPath()).ends_with("apply_limits = yes\r\n"));
        QCOMPARE(NewClient().Do("login bob pw"),
                 QStringLiteral("error 530 Too many sessions for this account"));
        // The two sessions from before stay; Alice is not limited by Bob.
        QCOMPARE(clients_[0]->Do("noop"), QStringLiteral("ok 200 NOOP command successful"));
        QCOMPARE(NewClient().Do("login alice pw"), QStringLiteral("ok logged in"));

        window = Window();
        QVERIFY(window->Form().ApplyLimitsCheck->isChecked());
        window->Form().ApplyLimitsCheck->click();
        QCOMPARE(Ok(window), QString());
        QCOMPARE(NewClient().Do("login bob pw"), QStringLiteral("ok logged in"));
    }

    void theRangeReachesTheServerAtTheNextStart() {
        NetworkOptions* window = Window();
        Type(window->Form().PassivePortsEdit, QStringLiteral("40000-40009"));
        QCOMPARE(Ok(window), QString());
        QString address;
        int port = 0;
        // Not before the next Start: sessions pick from 10000-29999 still.
        Pasv(address, port);
        QVERIFY(port >= 10000 && port < 30000);
        window_->Form().StopItem->trigger();
        window_->Form().StartItem->trigger();
        QCOMPARE(LastLine(), Listening());
        for (int i = 0; i < 2; ++i) {
            Pasv(address, port);
            QCOMPARE(address, QStringLiteral("127.0.0.1"));
            // Ports of the range that another program holds are skipped.
            QVERIFY2(port >= 40000 && port <= 40009, qPrintable(QString::number(port)));
        }
    }
};

QTEST_MAIN(NetworkOptionsTest)
#include "network_options_test.moc"
