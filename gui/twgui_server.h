// TTWServer: the options window. It edits the port to listen on, the user
// limit, the idle time-out, whether the program starts at logon and, beyond
// the design, whether sessions answer the modern client commands, offer
// or require FTPS and guard against password guessing. "Ok"
// stores them in the server's options, hands the idle time-out to the
// sessions and, once the owner has clicked the check box, writes or
// deletes the start-at-logon entry. A changed port applies at the next
// Start. Closing it any other way (Escape) stores nothing.
//
// GUI thread only; the server and the log must outlive the window.
#pragma once

#include <QDialog>
#include <memory>

#include "gui/autostart_entry.h"

class CIP_FTPServer;
class ServerLog;

namespace Ui {
class TTWServer;
}

class TTWServer : public QDialog {
    Q_OBJECT
public:
    // Fills the fields from the server's options; the box shown as it is
    // stored does not count as a click.
    TTWServer(CIP_FTPServer& server, ServerLog& log, AutostartEntry autostart,
              QWidget* parent = nullptr);
    ~TTWServer() override;

    // Shows and activates the window; a hidden window first shows the
    // stored options again.
    void Open();

    Ui::TTWServer& Form() const { return *ui_; }
    // Whether the owner has clicked the check box since the window was
    // created; never cleared.
    bool BootChanged() const { return bootChanged_; }

    // "Ok": stores the options and hides the window. Autostart failures
    // are logged as errors; the options are stored all the same.
    void Button1Click();
    void CheckBox1Click() { bootChanged_ = true; }

protected:
    // Escape hides the window and stores nothing.
    void reject() override;

private:
    void ShowStoredOptions();

    std::unique_ptr<Ui::TTWServer> ui_;
    CIP_FTPServer& server_;
    ServerLog& log_;
    const AutostartEntry autostart_;
    bool bootChanged_ = false;
};
