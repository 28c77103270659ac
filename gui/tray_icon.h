// TrayIcon: the notification-area icon with its tooltip and popup menu
// ("Show main window", "Start server", "Stop server", "Exit"). The popup's
// entries are never disabled.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(const QIcon& icon, QObject* parent = nullptr);

    // Whether the desktop shows notification-area icons at all.
    static bool Available();

    QMenu* Popup() { return &popup_; }
    QAction* ShowAction() const { return showAction_; }
    QAction* StartAction() const { return startAction_; }
    QAction* StopAction() const { return stopAction_; }
    QAction* ExitAction() const { return exitAction_; }

    // Removes the icon from the notification area.
    void Hide() { icon_.hide(); }

signals:
    // A left click or double click on the icon, or "Show main window".
    void showRequested();

private:
    QSystemTrayIcon icon_;
    QMenu popup_;
    QAction* showAction_;
    QAction* startAction_;
    QAction* stopAction_;
    QAction* exitAction_;
};
