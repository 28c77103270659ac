// The console's Stop in the network lab: with port_mapping on, the router
// forwards the ports once the console's server listens, and the owner's
// Stop takes the forwardings away while the console stays up.
// port_mapping_console_test.py runs this inside the lab's home host and
// checks the router at each step, told through files in the folder
// TARNHOLD_LAB_HANDSHAKE names; started alone, it skips.
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <fstream>

#include "tests/gui/console_fixture.h"
#include "ui_twgui_main.h"

using namespace console_fixture;

namespace {

constexpr int kRouterWaitMs = 240000;

}  // namespace

class PortMappingConsoleTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

    QDir handshake_;

    // Leaves `text` in the file `name` for the lab script, whole at once.
    bool Tell(const QString& name, const QByteArray& text = {}) {
        QFile file(handshake_.filePath(name + QStringLiteral(".tmp")));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) return false;
        file.close();
        return file.rename(handshake_.filePath(name));
    }

private slots:
    void stopTakesTheForwardingsAway() {
        const QByteArray folder = qgetenv("TARNHOLD_LAB_HANDSHAKE");
        if (folder.isEmpty()) QSKIP("run by port_mapping_console_test.py inside the network lab");
        handshake_.setPath(QString::fromLocal8Bit(folder));
        std::ofstream(Files().confPath, std::ios::binary)
            << "port_mapping = yes\npassive_ports = 50000-50009\n";
        StartConsole();
        QCOMPARE(LastLine(), Listening());

        const QRegularExpression mapped(QStringLiteral("^Port mapping: .*"));
        QTRY_VERIFY_WITH_TIMEOUT(!Lines(window_->Log()).filter(mapped).isEmpty(), kRouterWaitMs);
        const QString line = Lines(window_->Log()).filter(mapped).first();
        QVERIFY(
            Tell(QStringLiteral("mapped"), QStringLiteral("%1\n%2").arg(port_).arg(line).toUtf8()));
        // The window's events run while the lab script checks the router.
        QTRY_VERIFY_WITH_TIMEOUT(handshake_.exists(QStringLiteral("stop")), kRouterWaitMs);

        window_->Form().StopItem->trigger();
        QVERIFY(window_->Form().StartItem->isEnabled());
        QVERIFY(Tell(QStringLiteral("stopped")));
        // The router is asked meanwhile; the console goes on serving its
        // owner, and ends as usual afterwards.
        QTRY_VERIFY_WITH_TIMEOUT(handshake_.exists(QStringLiteral("checked")), kRouterWaitMs);
        QVERIFY(window_->isVisible());
    }

    void cleanup() { StopConsole(); }
};

QTEST_MAIN(PortMappingConsoleTest)
#include "port_mapping_console_test.moc"
