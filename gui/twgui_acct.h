// TTWAcct: the account manager. It edits the live account records of the
// server's store: names, logins, passwords, home folders, login messages,
// the stored numbers, and each account's accessible paths with their
// permissions. There is no OK or Cancel: values reach the records when the
// focus leaves an account or a path, on "Close", on a rename, and through
// the path commands. Closing by the title bar (or Escape) stores nothing.
//
// Every change to a record is one step under the store's lock, so a
// session never reads a half-written record; sessions see it at their
// next command. GUI thread only; the store must outlive the window.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>

class AccountStore;
class QTreeWidgetItem;
struct account_s;

namespace Ui {
class TTWAcct;
}

class TTWAcct : public QDialog {
    Q_OBJECT
public:
    // Builds the lists from the store: the anonymous account first, then
    // the named accounts in list order; the anonymous account is shown.
    explicit TTWAcct(AccountStore& store, QWidget* parent = nullptr);
    ~TTWAcct() override;

    // The folder chooser: by default the folder dialog titled "Please
    // select a folder"; tests put their own choice here. Returns nothing
    // when the owner chose nothing.
    using FolderChooser = std::function<std::optional<QString>(QWidget* owner)>;
    void SetFolderChooser(FolderChooser chooser) { chooseFolder_ = std::move(chooser); }

    Ui::TTWAcct& Form() const { return *ui_; }

    // The handlers, by the controls and events they serve.
    void AddAccountBtnClick();
    void DelAccountBtnClick();
    void BrowseBtnClick();
    void AddPathBtnClick();
    void DelPathBtnClick();
    void CloseBtnClick();

    // The window's operations on records and controls.
    void ShowAccount(const account_s* account);
    void SaveAccount(account_s* account);
    // Puts a stored password into the password field: a hash shows as an
    // empty field with the placeholder "(stored hashed)".
    void ShowPassword(const QString& stored);
    void FillPathList(const account_s* account);
    void ShowPathRights(const QTreeWidgetItem* path);
    void SavePathRights(account_s* account, const QTreeWidgetItem* path);
    std::optional<QString> BrowseForFolder();

protected:
    // The title bar's close and Escape hide the window, storing nothing.
    void reject() override;

private:
    account_s* AccountOf(const QTreeWidgetItem* entry) const;
    account_s* FocusedAccount() const;
    QTreeWidgetItem* AddAccountEntry(account_s* account, bool anonymous);
    QTreeWidgetItem* AddPathEntry(const QString& path);
    QString HomeText() const;
    void dxTreeList1ChangeNode(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void dxTreeList1Edited(QTreeWidgetItem* entry);
    void PathTreeListChangeNode(QTreeWidgetItem* current, QTreeWidgetItem* previous);

    std::unique_ptr<Ui::TTWAcct> ui_;
    AccountStore& store_;
    FolderChooser chooseFolder_;
};
