// What the console tests share: a real FTP client driven line by line, the
// settings of the test server, and reading the window's parts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "engine/ftp_server.h"
#include "gui/event_receiver.h"
#include "gui/log_view.h"
#include "gui/status_tree.h"
#include "gui/twgui_main.h"
#include "tests/engine/loopback.h"

namespace console_fixture {

inline constexpr int kWaitMs = 30000;
inline const QColor kNavy(0, 0, 128), kMaroon(128, 0, 0);

// Runs the event loop until every window has handled the events sent to it
// so far, the status refresh after them included.
inline void SettleWindows() {
    auto settled = [] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            for (GuiEventReceiver* receiver : window->findChildren<GuiEventReceiver*>()) {
                if (!receiver->Settled()) return false;
            }
        }
        return true;
    };
    QElapsedTimer clock;
    clock.start();
    while (!settled() && clock.elapsed() < kWaitMs) QTest::qWait(1);
}

// One real FTP client, answering each command with one line.
class Client {
public:
    // Connects to 127.0.0.1 unless told another host (as "::1").
    explicit Client(int port, const QString& host = QStringLiteral("127.0.0.1")) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(PYTHON3),
                       {QStringLiteral(FTP_DRIVER), QString::number(port), host});
    }
    ~Client() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(5000);
    }
    // Sends a command and waits for its answer, keeping the window's event
    // loop running meanwhile, then until the window has handled the events
    // the session sent before answering: sessions never wait for it.
    QString Do(const QString& command) {
        process_.write((command + QLatin1Char('\n')).toUtf8());
        QElapsedTimer clock;
        clock.start();
        while (!process_.canReadLine() && clock.elapsed() < kWaitMs) QTest::qWait(5);
        const QString answer = QString::fromUtf8(process_.readLine()).trimmed();
        SettleWindows();
        return answer;
    }

private:
    QProcess process_;
};

inline std::string Section(const char* marker, std::initializer_list<std::string> values) {
    std::string text = std::string(marker) + "+!~*#$\r\n";
    for (const std::string& v : values) text += v + "\r\n";
    return text;
}

// Anonymous logins and two named accounts, Bob listed before Alice, all
// with every right at `home`.
inline std::string SettingsText(int port, const std::string& home) {
    std::string text = Section(
        "SRVROPT", {std::to_string(port), "0", "f4240", "f4240", "100", "0", "1", "0", "300"});
    text += Section("ANONACCT", {"Public FTP Account", "", "", home, "", "0", "f4240", "f4240",
                                 "300", "10", "1", "0", "0", "0", "0"});
    text += Section("ANONACCPATH", {home, "77", "0"});
    for (const char* name : {"Bob", "Alice"}) {
        std::string login = name;
        login[0] = static_cast<char>(login[0] - 'A' + 'a');
        text += Section("REGACCT", {name, login, "pw", home, "", "0", "f4240", "f4240", "300", "10",
                                    "1", "0", "0", "0", "0"});
        text += Section("ACCPATH", {home, "77", "0"});
    }
    return text + "BLKLIST+!~*#$\r\n";
}

inline QStringList Lines(const LogView* log) {
    QStringList lines;
    for (int i = 0; i < log->LineCount(); ++i) lines << log->LineText(i);
    return lines;
}

inline QColor LastLineColour(const LogView* log) {
    return LogView::StyleColour(log->LineStyle(log->LineCount() - 1));
}

inline QStringList TopTexts(const QTreeWidget* tree) {
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) texts << tree->topLevelItem(i)->text(0);
    return texts;
}

inline QStringList ChildTexts(const QTreeWidgetItem* node, int column) {
    QStringList texts;
    for (int i = 0; node != nullptr && i < node->childCount(); ++i)
        texts << node->child(i)->text(column);
    return texts;
}

// The console of a test: a real server behind the real main window, with
// its settings and the accounts' home in temporary folders (see
// SettingsText), and real FTP clients.
class ConsoleFixture {
protected:
    QTemporaryDir settings_;
    QTemporaryDir home_;
    int port_ = -1;
    std::unique_ptr<CIP_FTPServer> server_;
    std::unique_ptr<TTWMain> window_;
    std::vector<std::unique_ptr<Client>> clients_;

    // A fresh home (a small file, a 64 MiB one), settings, server and window.
    void StartConsole() {
        QVERIFY(settings_.isValid() && home_.isValid());
        const std::filesystem::path home = HomePath();
        std::ofstream(home / "small.txt") << "small file";
        std::ofstream(home / "big.bin").close();
        std::filesystem::resize_file(home / "big.bin", 64 << 20);
        port_ = loopback::FreeListeningPort();
        std::ofstream(settings_.filePath(QStringLiteral("tarnhold.bot")).toStdString(),
                      std::ios::binary)
            << SettingsText(port_, home.string());
        server_ = std::make_unique<CIP_FTPServer>();
        window_ = std::make_unique<TTWMain>(*server_, Files());
        window_->show();
    }

    // Clients first, then the window's end, then the server's.
    void StopConsole() {
        clients_.clear();
        if (window_) window_->Shutdown();
        window_.reset();
        server_.reset();
    }

    std::filesystem::path HomePath() const { return home_.path().toStdString(); }
    SettingsFiles Files() const { return SettingsFilesIn(settings_.path().toStdString()); }
    Client& NewClient(const QString& host = QStringLiteral("127.0.0.1")) {
        clients_.push_back(std::make_unique<Client>(port_, host));
        return *clients_.back();
    }
    QString Listening() const {
        return QStringLiteral("Listening for connections on port %1").arg(port_);
    }
    QString StatusLine() const { return window_->StatusLine()->text(); }
    StatusTree* Tree() const { return window_->Tree(); }
    QString LastLine() const { return Lines(window_->Log()).last(); }
};

}  // namespace console_fixture
