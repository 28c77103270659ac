// The Help menu against the running console: "My &FTP site address" with
// the machine's real addresses and with a resolver that fails, the about
// box, and the help window on the manual the build puts in the data
// folder.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <set>
#include <string>
#include <vector>

#include "gui/help_window.h"
#include "gui/site_addresses.h"
#include "gui/twgui_about.h"
#include "tests/gui/console_fixture.h"
#include "ui_help_window.h"
#include "ui_twgui_about.h"
#include "ui_twgui_main.h"

using namespace console_fixture;

namespace {

const QString kHeading = QStringLiteral("The following local IP addresses were found:");
const QColor kTeal(0, 128, 128);

// The system's queries replaced by fixed answers; an empty answer fails.
class FixedAddresses : public SiteAddresses {
public:
    FixedAddresses(std::string name, std::vector<std::string> resolved,
                   std::vector<std::string> interfaces)
        : name_(std::move(name)),
          resolved_(std::move(resolved)),
          interfaces_(std::move(interfaces)) {}

protected:
    bool HostName(std::string& name) override {
        name = name_;
        return !name_.empty();
    }
    bool Resolve(const std::string& name, std::vector<std::string>& addresses) override {
        if (name != name_) return false;
        addresses = resolved_;
        return !addresses.empty();
    }
    std::vector<std::string> InterfaceAddresses() override { return interfaces_; }

private:
    std::string name_;
    std::vector<std::string> resolved_, interfaces_;
};

// The machine's own host name and interfaces, with the resolver's answer
// fixed: whether the host name resolves depends on the machine (containers
// and chroots often lack its /etc/hosts line), so the test decides it.
class ResolvedAs : public SiteAddresses {
public:
    explicit ResolvedAs(std::vector<std::string> resolved) : resolved_(std::move(resolved)) {}

protected:
    bool Resolve(const std::string&, std::vector<std::string>& addresses) override {
        addresses = resolved_;
        return !addresses.empty();
    }

private:
    std::vector<std::string> resolved_;
};

// The IPv4 addresses of the interfaces that are up and not loopback, as
// the system tells them.
std::set<QString> UpInterfaceAddresses() {
    std::set<QString> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
        if ((at->ifa_flags & IFF_UP) == 0 || (at->ifa_flags & IFF_LOOPBACK) != 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr, text,
                  sizeof text);
        found.insert(QString::fromLatin1(text));
    }
    freeifaddrs(list);
    return found;
}

// The link targets (#name) and the anchors of a manual.
QStringList Matches(const QString& html, const QString& pattern) {
    QStringList found;
    auto it = QRegularExpression(pattern).globalMatch(html);
    while (it.hasNext()) found << it.next().captured(1);
    return found;
}

}  // namespace

class HelpMenuTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

    QStringList LinesFrom(int first) const { return Lines(window_->Log()).mid(first); }
    bool AllNotes(int first) const {
        for (int i = first; i < window_->Log()->LineCount(); ++i) {
            if (window_->Log()->LineStyle(i) != LogStyle::Note) return false;
        }
        return true;
    }

private slots:
    void init() { StartConsole(); }
    void cleanup() { StopConsole(); }

    void theMachinesAddressesAsNotesAgainAtEachCommand_data() {
        QTest::addColumn<QStringList>("resolved");
        QTest::newRow("host name resolves") << QStringList{"127.0.1.1"};
        QTest::newRow("host name does not resolve") << QStringList{};
    }
    void theMachinesAddressesAsNotesAgainAtEachCommand() {
        QFETCH(QStringList, resolved);
        std::vector<std::string> answer;
        for (const QString& address : resolved) answer.push_back(address.toStdString());
        window_->SetSiteAddresses(std::make_unique<ResolvedAs>(answer));
        const int before = window_->Log()->LineCount();
        window_->Form().SiteAddressItem->trigger();
        const QStringList first = LinesFrom(before);
        if (resolved.isEmpty()) {
            // The failure line is the whole answer.
            QCOMPARE(first, QStringList{
                                "Could not lookup hostname. Please check your internet connection."});
            QCOMPARE(LastLineColour(window_->Log()), kMaroon);
        } else {
            QVERIFY2(!first.isEmpty() && first[0] == kHeading,
                     qPrintable(first.join(QLatin1Char('|'))));
            QVERIFY(AllNotes(before));
            QCOMPARE(LastLineColour(window_->Log()), kTeal);
            const QStringList addresses = first.mid(1);
            QCOMPARE(addresses.value(0), resolved[0]);
            QCOMPARE(QSet<QString>(addresses.begin(), addresses.end()).size(), addresses.size());
            for (const QString& address : addresses) {
                in_addr parsed{};
                QVERIFY2(inet_pton(AF_INET, address.toLatin1().constData(), &parsed) == 1,
                         qPrintable(address));
            }
            // The machine's real interfaces follow the host name's addresses.
            for (const QString& address : UpInterfaceAddresses())
                QVERIFY2(addresses.contains(address), qPrintable(address));
        }

        const int again = window_->Log()->LineCount();
        window_->Form().SiteAddressItem->trigger();
        QCOMPARE(LinesFrom(again), first);
        QCOMPARE(LinesFrom(before).mid(0, first.size()), first);
    }

    void theHostNamesAddressesFirstThenTheOtherInterfaces_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("resolved");
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QStringList>("logged");
        QTest::addColumn<bool>("error");
        QTest::newRow("two interfaces")
            << QStringLiteral("host") << QStringList{"127.0.1.1"}
            << QStringList{"192.168.1.20", "10.0.0.5"}
            << QStringList{kHeading, "127.0.1.1", "192.168.1.20", "10.0.0.5"} << false;
        QTest::newRow("resolver's order kept, each address once")
            << QStringLiteral("host") << QStringList{"10.0.0.5", "192.168.1.20", "10.0.0.5"}
            << QStringList{"192.168.1.20"} << QStringList{kHeading, "10.0.0.5", "192.168.1.20"}
            << false;
        QTest::newRow("name not resolved")
            << QStringLiteral("host") << QStringList{} << QStringList{"192.168.1.20"}
            << QStringList{"Could not lookup hostname. Please check your internet connection."}
            << true;
        QTest::newRow("no host name")
            << QString() << QStringList{"127.0.1.1"} << QStringList{"192.168.1.20"}
            << QStringList{"Could not get the local hostname"} << true;
    }
    void theHostNamesAddressesFirstThenTheOtherInterfaces() {
        QFETCH(QString, name);
        QFETCH(QStringList, resolved);
        QFETCH(QStringList, interfaces);
        QFETCH(QStringList, logged);
        QFETCH(bool, error);
        const auto strings = [](const QStringList& list) {
            std::vector<std::string> out;
            for (const QString& s : list) out.push_back(s.toStdString());
            return out;
        };
        window_->SetSiteAddresses(std::make_unique<FixedAddresses>(
            name.toStdString(), strings(resolved), strings(interfaces)));
        const int before = window_->Log()->LineCount();
        window_->Form().SiteAddressItem->trigger();
        QCOMPARE(LinesFrom(before), logged);
        QCOMPARE(LastLineColour(window_->Log()), error ? kMaroon : kTeal);
        if (!error) QVERIFY(AllNotes(before));
    }

    void theAboutBox() {
        window_->Form().AboutItem->trigger();
        TTWAbout* about = window_->findChild<TTWAbout*>();
        QVERIFY(about != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(about->isVisible(), kWaitMs);
        QCOMPARE(about->windowTitle(), QStringLiteral("About Tarnwell Server 1.0"));
        QVERIFY(about->isWindow() && about->parentWidget() == window_.get());
        QVERIFY(!(about->windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(about->width() >= 440 && about->height() >= 388);
        Ui::TTWAbout& ui = about->Form();
        QCOMPARE(ui.StaticText1->text(), QStringLiteral("Tarnwell server 1.0"));
        QCOMPARE(ui.StaticText2->text(),
                 QStringLiteral("FTP server for windows 95/98/ME/NT/2000/XP"));
        QCOMPARE(ui.StaticText3->text(), QStringLiteral("Build 20021118"));
        QCOMPARE(ui.StaticText1->font().pixelSize(), 25);
        QVERIFY(ui.StaticText1->font().bold() && ui.StaticText3->font().bold());
        QCOMPARE(ui.StaticText1->palette().color(QPalette::WindowText),
                 about->palette().color(QPalette::Highlight));
        QTest::mouseClick(ui.Button1, Qt::LeftButton);
        QVERIFY(!about->isVisible());
        QCOMPARE(window_->AboutTBItemClick(), about);
        QVERIFY(about->isVisible());
    }

    void theHelpWindowOpensAtTheContentsAndItsLinksWork() {
        window_->SetHelpManual(QStringLiteral(TARNHOLD_MANUAL));
        window_->Form().HelpManualItem->trigger();
        HelpWindow* help = window_->findChild<HelpWindow*>();
        QVERIFY(help != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(help->isVisible(), kWaitMs);
        QVERIFY(help->isWindow() && !help->windowTitle().isEmpty());
        QTextBrowser* browser = help->Browser();
        QCOMPARE(browser->source(), QUrl::fromLocalFile(QStringLiteral(TARNHOLD_MANUAL)));
        QCOMPARE(browser->verticalScrollBar()->value(), 0);
        QCOMPARE(browser->documentTitle(), QStringLiteral("Tarnwell Server help manual"));

        // Every link of the manual leads to an anchor in it, and every
        // picture it shows is there.
        QFile source(QStringLiteral(TARNHOLD_MANUAL));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(source.readAll());
        const QStringList links = Matches(text, QStringLiteral("href=\"#([^\"]+)\""));
        const QStringList anchors = Matches(text, QStringLiteral("<a name=\"([^\"]+)\""));
        QVERIFY(links.size() >= 9);
        for (const QString& link : links) QVERIFY2(anchors.contains(link), qPrintable(link));
        const QStringList pictures = Matches(text, QStringLiteral("<img src=\"([^\"]+)\""));
        QVERIFY(pictures.size() >= 4);
        for (const QString& picture : pictures) {
            const QVariant image =
                browser->loadResource(QTextDocument::ImageResource, QUrl(picture));
            QVERIFY2(image.isValid() && !image.value<QByteArray>().isEmpty(), qPrintable(picture));
        }

        // Following the first link of the contents by keyboard, then back.
        browser->setFocus();
        QTest::keyClick(browser, Qt::Key_Tab);
        QTest::keyClick(browser, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(browser->source().fragment(), links.first(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(browser->verticalScrollBar()->value() > 0, kWaitMs);
        QVERIFY(help->Form().BackBtn->isEnabled());
        QTest::mouseClick(help->Form().BackBtn, Qt::LeftButton);
        QCOMPARE(browser->source().fragment(), QString());
        QTest::mouseClick(help->Form().ForwardBtn, Qt::LeftButton);
        QCOMPARE(browser->source().fragment(), links.first());

        // Closed, then opened again at the contents; closed at the end.
        QTest::keyClick(help, Qt::Key_Escape);
        QVERIFY(!help->isVisible());
        QCOMPARE(window_->ManTBItemClick(), help);
        QVERIFY(help->isVisible());
        QCOMPARE(browser->source().fragment(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(browser->verticalScrollBar()->value(), 0, kWaitMs);
        window_->Shutdown();
        QVERIFY(!help->isVisible());
    }

    void aMissingManualIsReportedInTheHelpWindow() {
        const QString missing = QDir(settings_.path()).filePath(QStringLiteral("tarnhold.hlp"));
        window_->SetHelpManual(missing);
        HelpWindow* help = window_->ManTBItemClick();
        QVERIFY(help->isVisible());
        QVERIFY(help->Browser()->toPlainText().contains(missing));
        QVERIFY(help->Browser()->toPlainText().contains(QStringLiteral("could not be opened")));
    }
};

QTEST_MAIN(HelpMenuTest)
#include "help_menu_test.moc"
