#include "gui/tray_icon.h"

TrayIcon::TrayIcon(const QIcon& icon, QObject* parent) : QObject(parent), icon_(icon) {
    icon_.setToolTip(QStringLiteral("Tarnwell Server 1.0 pro"));
    showAction_ = popup_.addAction(QStringLiteral("Show main window"));
    popup_.addSeparator();
    startAction_ = popup_.addAction(QStringLiteral("Start server"));
    stopAction_ = popup_.addAction(QStringLiteral("Stop server"));
    popup_.addSeparator();
    exitAction_ = popup_.addAction(QStringLiteral("Exit"));
    popup_.setAccessibleName(QStringLiteral("Tarnwell Server"));
    icon_.setContextMenu(&popup_);
    connect(showAction_, &QAction::triggered, this, &TrayIcon::showRequested);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                    emit showRequested();
            });
    if (Available()) icon_.show();
}

bool TrayIcon::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }
