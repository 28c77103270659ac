// NetworkOptions: the "Network options" window, editing the keys of
// tarnhold.conf that let the server be reached from the internet
// (passive_ports, passive_address, port_mapping) and apply_limits. "Ok"
// checks every field as `tarnhold option set` would, and only when all
// pass stores them in the store's values and writes tarnhold.conf; a
// refused value is shown with its reason and nothing is stored. Closing it
// any other way stores nothing. The server takes apply_limits at once and
// the others at its next Start.
//
// GUI thread only; the store and the log must outlive the window.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "config/settings.h"

class AccountStore;
class QCheckBox;
class QLineEdit;
class ServerLog;

namespace Ui {
class NetworkOptions;
}

class NetworkOptions : public QDialog {
    Q_OBJECT
public:
    // Fills the fields from the store's values.
    NetworkOptions(AccountStore& store, SettingsFiles files, ServerLog& log,
                   QWidget* parent = nullptr);
    ~NetworkOptions() override;

    // Shows and activates the window; a hidden window first shows the
    // stored values again.
    void Open();

    Ui::NetworkOptions& Form() const { return *ui_; }

    // "Ok": stores every field and hides the window, or, when a field is
    // refused, says why in a message box and stores nothing. Returns
    // whether the values were stored. A failed save of tarnhold.conf is
    // logged as an error; the values are stored all the same.
    bool OkClick();

protected:
    // Escape or the close button hide the window and store nothing.
    void reject() override;

private:
    // One key of tarnhold.conf and the field that edits it: a line edit
    // for a text, a check box for yes/no. A new key is one more row.
    // A key edited by a line edit, or by a check box whose states are the
    // values `on` and `off`.
    struct Field {
        const char* key;
        QLineEdit* text;
        QCheckBox* check;
        const char* on = "yes";
        const char* off = "no";
    };

    void ShowStoredValues();
    // The field's value as the key's text.
    static std::string FieldText(const Field& field);

    std::unique_ptr<Ui::NetworkOptions> ui_;
    AccountStore& store_;
    const SettingsFiles files_;
    ServerLog& log_;
    std::vector<Field> fields_;
};
