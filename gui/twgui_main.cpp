#include "gui/twgui_main.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <exception>
#include <filesystem>
#include <string>

#include "config/program_paths.h"
#include "config/account_store.h"
#include "engine/ftp_server.h"
#include "gui/autostart_entry.h"
#include "gui/event_receiver.h"
#include "gui/help_window.h"
#include "gui/log_view.h"
#include "gui/network_options.h"
#include "gui/paint_throttle.h"
#include "gui/site_addresses.h"
#include "gui/status_panel.h"
#include "gui/status_tree.h"
#include "gui/tray_icon.h"
#include "gui/twgui_about.h"
#include "gui/twgui_acct.h"
#include "gui/twgui_server.h"
#include "ui_twgui_main.h"

// The images live in this static library; nothing else would pull them in.
static void InitGuiResources() { Q_INIT_RESOURCE(images); }

namespace {

// Height of the log above the splitter when the window opens.
constexpr int kLogHeight = 136;
// The window is painted at most this often while events stream in.
constexpr int kPaintIntervalMs = 100;

QString StatusText(int total) {
    return QStringLiteral("Status: ") + QString::number(total) +
           (total == 1 ? QStringLiteral(" connection is currently active on the server")
                       : QStringLiteral(" connections are currently active on the server"));
}

}  // namespace

TTWMain::TTWMain(CIP_FTPServer& server, SettingsFiles files, QWidget* parent)
    : QMainWindow(parent),
      ui_(std::make_unique<Ui::TTWMain>()),
      server_(server),
      files_(std::move(files)),
      manualPath_(QString::fromStdString(DataFolder() + "/tarnhold.hlp")),
      siteAddresses_(std::make_unique<SiteAddresses>()) {
    InitGuiResources();
    ui_->setupUi(this);
    ui_->Splitter->setSizes({kLogHeight, height()});
    ui_->Splitter->setStretchFactor(0, 0);
    ui_->Splitter->setStretchFactor(1, 1);
    statusPanel_ = new StatusPanel(this);
    ui_->StatusBar->addWidget(statusPanel_, 1);
    ui_->StatTreeList->SetStore(&server_.store);

    new PaintThrottle(this, kPaintIntervalMs);
    tray_ = new TrayIcon(windowIcon(), this);
    control_ = std::make_unique<ServerControl>(server_, server_.store, *ui_->RichView);
    ConnectCommands();

    // The receiver is attached before the settings are loaded and before
    // any session can exist.
    receiver_ = new GuiEventReceiver(this);
    receiver_->SetHandlers(
        [this](const std::string& text, LogStyle style) {
            RunEventHandler([&] { AppendLogLine(text.c_str(), style); });
        },
        [this] { RunEventHandler([this] { RefreshStatus(); }); });
    server_.events.Attach(receiver_);

    for (const ConfError& error : LoadSettings(server_.store, files_)) {
        AppendLogLine(error.LogText().c_str(), LogStyle::Error);
    }
    uint32_t idleTimeout;
    {
        AccountStore::Lock lock(server_.store);
        idleTimeout = server_.store.options.idletimeout;
    }
    server_.SetIdleTimeout(IdleTimeoutFromOption(idleTimeout));
    // tarnhold.crt and tarnhold.key live beside the settings file.
    server_.SetCertificateFolder(
        std::filesystem::path(files_.settingsPath).parent_path().string());
    StartTBItemClick();
    statusPanel_->SetText(StatusText(0));
}

TTWMain::~TTWMain() { Shutdown(); }

LogView* TTWMain::Log() const { return ui_->RichView; }
StatusTree* TTWMain::Tree() const { return ui_->StatTreeList; }
QLabel* TTWMain::StatusLine() const { return statusPanel_->Label(); }

void TTWMain::ConnectCommands() {
    auto command = [this](QAction* action, auto handler) {
        connect(action, &QAction::triggered, this,
                [this, handler] { RunCommand([this, handler] { (this->*handler)(); }); });
    };
    command(ui_->StartItem, &TTWMain::StartTBItemClick);
    command(ui_->StartTBItem, &TTWMain::StartTBItemClick);
    command(tray_->StartAction(), &TTWMain::StartTBItemClick);
    command(ui_->StopItem, &TTWMain::StopTBItemClick);
    command(ui_->StopTBItem, &TTWMain::StopTBItemClick);
    command(tray_->StopAction(), &TTWMain::StopTBItemClick);
    command(ui_->ExitItem, &TTWMain::ExitTBItemClick);
    command(tray_->ExitAction(), &TTWMain::ExitTBItemClick);
    connect(ui_->MinimizeItem, &QAction::triggered, this, &QWidget::close);
    connect(tray_, &TrayIcon::showRequested, this, &TTWMain::ShowMainWindow);
    connect(ui_->StatTreeList, &StatusTree::disconnectRequested, this, &TTWMain::DisconnectSession);
    // "&New FTP account..." opens the manager too; it adds nothing itself.
    command(ui_->NewAccountItem, &TTWMain::ShowAccountManager);
    command(ui_->AccountManagerItem, &TTWMain::ShowAccountManager);
    command(ui_->AccountsTBItem, &TTWMain::ShowAccountManager);
    command(ui_->ServerOptionsItem, &TTWMain::ShowServerOptions);
    command(ui_->NetworkOptionsItem, &TTWMain::ShowNetworkOptions);
    command(ui_->HelpManualItem, &TTWMain::ManTBItemClick);
    command(ui_->AboutItem, &TTWMain::AboutTBItemClick);
    command(ui_->SiteAddressItem, &TTWMain::GetIPTBItemClick);
}

void TTWMain::RunCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& error) {
        QMessageBox::critical(this, windowTitle(), QString::fromUtf8(error.what()));
    } catch (...) {
        QMessageBox::critical(this, windowTitle(), QStringLiteral("Unknown error"));
    }
}

void TTWMain::RunEventHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        // Shown after the handler: a message box here would hold up the
        // events behind this one until the owner's click.
        const QString text = QString::fromUtf8(error.what());
        QTimer::singleShot(0, this,
                           [this, text] { QMessageBox::critical(this, windowTitle(), text); });
    }
}

void TTWMain::AppendLogLine(const char* text, LogStyle style) {
    ui_->RichView->AppendLogLine(text, style);
}

void TTWMain::RefreshStatus() {
    ++refreshStamp_;
    const int total = ui_->StatTreeList->RefreshStatus(refreshStamp_);
    statusPanel_->SetText(StatusText(total));
}

void TTWMain::ShowEntryStates() {
    ui_->StartItem->setEnabled(control_->StartEnabled());
    ui_->StartTBItem->setEnabled(control_->StartEnabled());
    ui_->StopItem->setEnabled(control_->StopEnabled());
    ui_->StopTBItem->setEnabled(control_->StopEnabled());
}

TTWAcct* TTWMain::ShowAccountManager() {
    if (accountManager_ == nullptr) accountManager_ = new TTWAcct(server_.store, this);
    accountManager_->show();
    accountManager_->raise();
    accountManager_->activateWindow();
    return accountManager_;
}

TTWServer* TTWMain::ShowServerOptions() {
    if (options_ == nullptr) {
        options_ = new TTWServer(server_, *ui_->RichView, AutostartEntry(ExecutablePath()), this);
    }
    options_->Open();
    return options_;
}

NetworkOptions* TTWMain::ShowNetworkOptions() {
    if (networkOptions_ == nullptr) {
        networkOptions_ = new NetworkOptions(server_.store, files_, *ui_->RichView, this);
    }
    networkOptions_->Open();
    return networkOptions_;
}

TTWAbout* TTWMain::AboutTBItemClick() {
    if (about_ == nullptr) about_ = new TTWAbout(this);
    about_->show();
    about_->raise();
    about_->activateWindow();
    return about_;
}

HelpWindow* TTWMain::ManTBItemClick() {
    if (help_ == nullptr) help_ = new HelpWindow(manualPath_, this);
    help_->OpenContents();
    return help_;
}

void TTWMain::SetSiteAddresses(std::unique_ptr<SiteAddresses> addresses) {
    siteAddresses_ = std::move(addresses);
}

void TTWMain::GetIPTBItemClick() { siteAddresses_->Log(*ui_->RichView); }

void TTWMain::StartTBItemClick() {
    control_->Start();
    ShowEntryStates();
}

void TTWMain::StopTBItemClick() {
    control_->Stop();
    ShowEntryStates();
}

void TTWMain::ExitTBItemClick() {
    control_->StopForExit();
    ending_ = true;
    // Not quit(): that asks each window to close, and this one would hide.
    QCoreApplication::exit(0);
}

bool TTWMain::Shutdown() {
    if (shutDown_) return saved_;
    shutDown_ = true;
    ending_ = true;
    // Sessions waiting for room in the window's backlog, now or later, go
    // on at once.
    receiver_->Release();
    server_.events.Detach();
    saved_ = SaveAllSettings(server_.store, files_);
    if (help_ != nullptr) help_->close();
    tray_->Hide();
    return saved_;
}

void TTWMain::closeEvent(QCloseEvent* event) {
    if (ending_) {
        event->accept();
        return;
    }
    event->ignore();
    if (TrayIcon::Available()) {
        hide();
    } else {
        // Without a notification area a hidden window could not be found
        // again.
        showMinimized();
    }
}

void TTWMain::ShowMainWindow() {
    showNormal();
    raise();
    activateWindow();
}

void TTWMain::DisconnectSession(const client_s* client) { server_.store.RequestDisconnect(client); }
