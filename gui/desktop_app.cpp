#include "gui/desktop_app.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdio>
#include <exception>
#include <memory>

#include "engine/ftp_server.h"
#include "gui/twgui_main.h"

namespace {

void CentreOnScreen(QWidget& window) {
    if (QScreen* screen = window.screen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
}

}  // namespace

int RunDesktop(int& argc, char** argv, const SettingsFiles& files, const sigset_t& stopSignals) {
    // The server comes before the application object and goes after the
    // window, as its sessions report to the window until it is gone.
    auto server = std::make_unique<CIP_FTPServer>();
    bool saved = false;
    {
        QApplication application(argc, argv);
        QApplication::setApplicationName(QStringLiteral("tarnhold"));
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/tarnhold.svg")));
        try {
            TTWMain window(*server, files);
            CentreOnScreen(window);
            window.show();

            // SIGTERM and SIGINT run the Exit command on this thread.
            const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
            std::unique_ptr<QSocketNotifier> onSignal;
            if (signalFd >= 0) {
                onSignal = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
                QObject::connect(onSignal.get(), &QSocketNotifier::activated, &window, [&] {
                    signalfd_siginfo info;
                    while (read(signalFd, &info, sizeof info) > 0) {
                    }
                    window.ExitTBItemClick();
                });
            } else {
                std::perror("tarnhold: signalfd");
            }
            QApplication::exec();
            onSignal.reset();
            if (signalFd >= 0) close(signalFd);
            saved = window.Shutdown();
        } catch (const std::exception& error) {
            QMessageBox::critical(nullptr, QStringLiteral("Tarnwell Server"),
                                  QString::fromUtf8(error.what()));
            server.reset();
            return 1;
        }
    }
    // Waits until every session has seen the shutdown and ended.
    server.reset();
    return saved ? 0 : 1;
}
