#include "gui/twgui_server.h"

#include <algorithm>
#include <utility>

#include "config/account_store.h"
#include "engine/ftp_server.h"
#include "engine/server_control.h"
#include "ui_twgui_server.h"

namespace {

// The designed size, or what the labels need in a larger font.
constexpr int kWidth = 304;
constexpr int kHeight = 297;

// Sets or clears `bit` of `features`.
void Store(uint32_t& features, uint32_t bit, bool on) {
    features = on ? features | bit : features & ~bit;
}

}  // namespace

TTWServer::TTWServer(CIP_FTPServer& server, ServerLog& log, AutostartEntry autostart,
                     QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::TTWServer>()),
      server_(server),
      log_(log),
      autostart_(std::move(autostart)) {
    ui_->setupUi(this);
    // A title without buttons: "Ok" is the way out.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    const QSize needed = minimumSizeHint();
    setFixedSize(std::max(kWidth, needed.width()), std::max(kHeight, needed.height()));
    ShowStoredOptions();
    // clicked, unlike toggled, comes only from the owner.
    connect(ui_->CheckBox1, &QCheckBox::clicked, this, &TTWServer::CheckBox1Click);
    connect(ui_->Button1, &QPushButton::clicked, this, &TTWServer::Button1Click);
    // Requiring FTPS offers it; not offering it requires nothing.
    connect(ui_->TlsRequireCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (on) ui_->TlsOfferCheck->setChecked(true);
    });
    connect(ui_->TlsOfferCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) ui_->TlsRequireCheck->setChecked(false);
    });
}

TTWServer::~TTWServer() = default;

void TTWServer::ShowStoredOptions() {
    srvropt_s options;
    {
        AccountStore::Lock lock(server_.store);
        options = server_.store.options;
    }
    ui_->dxSpinEdit1->setValue(options.port);
    ui_->dxSpinEdit2->setValue(options.maxusers);
    ui_->dxSpinEdit3->setValue(options.idletimeout);
    ui_->CheckBox1->setChecked(options.startatboot != 0);
    ui_->ModernCommandsCheck->setChecked(options.features & FEATURE_MODERN_COMMANDS);
    ui_->TlsRequireCheck->setChecked(options.features & FEATURE_TLS_REQUIRED);
    ui_->TlsOfferCheck->setChecked(options.features & (FEATURE_TLS | FEATURE_TLS_REQUIRED));
    ui_->LoginGuardCheck->setChecked(options.features & FEATURE_LOGIN_GUARD);
}

void TTWServer::Open() {
    if (!isVisible()) ShowStoredOptions();
    show();
    raise();
    activateWindow();
}

void TTWServer::Button1Click() {
    // The fields hold whole numbers within the stored fields' range.
    const auto port = static_cast<uint32_t>(ui_->dxSpinEdit1->value());
    const auto maxusers = static_cast<uint32_t>(ui_->dxSpinEdit2->value());
    const auto idletimeout = static_cast<uint32_t>(ui_->dxSpinEdit3->value());
    const bool startatboot = ui_->CheckBox1->isChecked();
    const bool modern = ui_->ModernCommandsCheck->isChecked();
    const bool offerTls = ui_->TlsOfferCheck->isChecked();
    const bool requireTls = ui_->TlsRequireCheck->isChecked();
    const bool guard = ui_->LoginGuardCheck->isChecked();
    {
        AccountStore::Lock lock(server_.store);
        server_.store.options.port = port;
        server_.store.options.maxusers = maxusers;
        server_.store.options.idletimeout = idletimeout;
        server_.store.options.startatboot = startatboot ? 1 : 0;
        // Bits this window does not show are left as they are.
        uint32_t& features = server_.store.options.features;
        Store(features, FEATURE_MODERN_COMMANDS, modern);
        Store(features, FEATURE_TLS, offerTls);
        Store(features, FEATURE_TLS_REQUIRED, requireTls);
        Store(features, FEATURE_LOGIN_GUARD, guard);
    }
    server_.SetIdleTimeout(IdleTimeoutFromOption(idletimeout));

    if (bootChanged_) {
        switch (startatboot ? autostart_.Write() : autostart_.Remove()) {
            case AutostartEntry::Result::Done:
                break;
            case AutostartEntry::Result::FolderFailed:
                log_.AppendLogLine(
                    "Could not create/open subkey in windows registry. You may need to login "
                    "as administrator.",
                    LogStyle::Error);
                break;
            case AutostartEntry::Result::EntryFailed:
                log_.AppendLogLine(
                    "Could not set values in windows registry. You may need to login as "
                    "administrator",
                    LogStyle::Error);
                break;
        }
    }
    hide();
}

void TTWServer::reject() { hide(); }
