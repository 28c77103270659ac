#include "gui/network_options.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "config/account_store.h"
#include "config/conf_keys.h"
#include "engine/server_control.h"
#include "ui_network_options.h"

namespace {

}  // namespace

std::string NetworkOptions::FieldText(const Field& field) {
    if (field.text != nullptr) return field.text->text().trimmed().toStdString();
    return field.check->isChecked() ? field.on : field.off;
}

NetworkOptions::NetworkOptions(AccountStore& store, SettingsFiles files, ServerLog& log,
                               QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::NetworkOptions>()),
      store_(store),
      files_(std::move(files)),
      log_(log) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
    fields_ = {
        {"passive_ports", ui_->PassivePortsEdit, nullptr},
        {"passive_address", ui_->PassiveAddressEdit, nullptr},
        {"port_mapping", nullptr, ui_->PortMappingCheck},
        {"ipv6", nullptr, ui_->Ipv6Check},
        {"apply_limits", nullptr, ui_->ApplyLimitsCheck},
        {"password_storage", nullptr, ui_->HashPasswordsCheck, "hashed", "plain"},
        {"transfer_log", ui_->TransferLogEdit, nullptr},
    };
    ShowStoredValues();
    connect(ui_->OkButton, &QPushButton::clicked, this, &NetworkOptions::OkClick);
}

NetworkOptions::~NetworkOptions() = default;

void NetworkOptions::ShowStoredValues() {
    const ConfValues values = store_.ConfSnapshot();
    for (const Field& field : fields_) {
        const std::string shown = FindConfKey(field.key)->show(values);
        if (field.text != nullptr) {
            field.text->setText(QString::fromStdString(shown));
        } else {
            field.check->setChecked(shown == field.on);
        }
    }
}

void NetworkOptions::Open() {
    if (!isVisible()) ShowStoredValues();
    show();
    raise();
    activateWindow();
}

bool NetworkOptions::OkClick() {
    ConfFile conf;
    ConfValues stored;
    {
        AccountStore::Lock lock(store_);
        conf = store_.conf;
        stored = store_.confValues;
    }
    // Set on copies, so that a refused field leaves everything as it was.
    ConfValues values = stored;
    for (const Field& field : fields_) {
        const ConfKey& key = *FindConfKey(field.key);
        const std::string text = FieldText(field);
        // A field left as shown keeps its line as the owner wrote it, and
        // a file that was never needed stays unwritten.
        if (text == key.show(stored)) continue;
        if (std::optional<std::string> why = SetConfValue(conf, values, key, text)) {
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(*why));
            return false;
        }
    }
    {
        AccountStore::Lock lock(store_);
        store_.conf = std::move(conf);
        store_.confValues = values;
    }
    // Writes nothing while the file is missing and no key has been set.
    if (!SaveConf(store_, files_)) {
        const int error = errno;
        const std::string text = "Could not save the network options in " + files_.confPath +
                                 ": " + std::strerror(error);
        log_.AppendLogLine(text.c_str(), LogStyle::Error);
    }
    hide();
    return true;
}

void NetworkOptions::reject() { hide(); }
