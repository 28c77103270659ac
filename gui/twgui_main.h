// TTWMain: the owner's console. It assembles the log, the status tree, the
// status line, the menus and tool bar and the notification-area icon, and
// runs the window start-up: it becomes the receiver of the sessions'
// events, loads the settings, hands the idle time-out to the server and
// starts listening.
//
// GUI thread only. The server and the settings files must outlive it.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "config/settings.h"
#include "engine/server_control.h"

class CIP_FTPServer;
class GuiEventReceiver;
class HelpWindow;
class LogView;
class NetworkOptions;
class QLabel;
class SiteAddresses;
class StatusPanel;
class StatusTree;
class TrayIcon;
class TTWAbout;
class TTWAcct;
class TTWServer;

namespace Ui {
class TTWMain;
}

class TTWMain : public QMainWindow {
    Q_OBJECT
public:
    // The window start-up: controls, tray icon, event receiver attached to
    // the server, settings loaded from `files`, idle time-out, Start, and
    // the status line.
    TTWMain(CIP_FTPServer& server, SettingsFiles files, QWidget* parent = nullptr);
    // Runs Shutdown when it has not run yet.
    ~TTWMain() override;

    // Appends one line to the log in the given style.
    void AppendLogLine(const char* text, LogStyle style);
    // Brings the status tree and the status line up to date.
    void RefreshStatus();

    // The commands of the menus, the tool bar and the popup menu.
    void StartTBItemClick();
    void StopTBItemClick();
    void ExitTBItemClick();
    // Shows the account manager, creating it on first use; non-modal.
    TTWAcct* ShowAccountManager();
    // Shows the options window, creating it on first use; non-modal.
    TTWServer* ShowServerOptions();
    // Shows the "Network options" window, creating it on first use;
    // non-modal.
    NetworkOptions* ShowNetworkOptions();
    // "My &FTP site address": lists the machine's addresses in the log.
    void GetIPTBItemClick();
    // "Help &manual": the help window at the manual's contents.
    HelpWindow* ManTBItemClick();
    // "About &Tarnwell Server": the about box, created on first use.
    TTWAbout* AboutTBItemClick();

    // Where the help manual is read from; by default tarnhold.hlp in the
    // program's data folder. Takes effect before the help window exists.
    void SetHelpManual(const QString& path) { manualPath_ = path; }
    // The address queries of "My &FTP site address"; tests put theirs here.
    void SetSiteAddresses(std::unique_ptr<SiteAddresses> addresses);

    // The end of the window, before it is destroyed: every waiting and
    // later event from the sessions returns at once, the receiver is
    // detached, the settings are saved and the help viewer is closed. Returns whether the save
    // succeeded. Idempotent; later calls return the first result.
    bool Shutdown();

    // Runs a command; an error escaping it is shown in a message box and
    // the window goes on.
    void RunCommand(const std::function<void()>& command);

    // The parts, for the other windows and for tests.
    LogView* Log() const;
    StatusTree* Tree() const;
    QLabel* StatusLine() const;
    TrayIcon* Tray() const { return tray_; }
    Ui::TTWMain& Form() const { return *ui_; }
    int32_t RefreshStamp() const { return refreshStamp_; }

protected:
    // FormClose: hides the window to the notification area (or minimises
    // it where there is none) unless the application is ending.
    void closeEvent(QCloseEvent* event) override;

private:
    // Runs a handler of the sessions' events; an error escaping it is shown
    // once the handler has returned, since a message box inside it would
    // hold up the events queued behind it.
    void RunEventHandler(const std::function<void()>& handler);
    void ConnectCommands();
    void ShowEntryStates();
    void ShowMainWindow();
    void DisconnectSession(const struct client_s* client);

    std::unique_ptr<Ui::TTWMain> ui_;
    CIP_FTPServer& server_;
    const SettingsFiles files_;
    std::unique_ptr<ServerControl> control_;
    GuiEventReceiver* receiver_;
    TrayIcon* tray_;
    TTWAcct* accountManager_ = nullptr;
    TTWServer* options_ = nullptr;
    NetworkOptions* networkOptions_ = nullptr;
    TTWAbout* about_ = nullptr;
    HelpWindow* help_ = nullptr;
    QString manualPath_;
    std::unique_ptr<SiteAddresses> siteAddresses_;
    StatusPanel* statusPanel_;
    int32_t refreshStamp_ = 0;
    bool ending_ = false;
    bool shutDown_ = false;
    bool saved_ = false;
};
