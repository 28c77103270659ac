#include "gui/twgui_acct.h"

#include <QFileDialog>
#include <QIcon>
#include <QSignalBlocker>
#include <QTreeWidgetItem>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/account_store.h"
#include "config/password_hash.h"
#include "config/records.h"
#include "gui/utf8_limit.h"
#include "net/text.h"
#include "ui_twgui_acct.h"

namespace {

// The record's text capacities, terminator excluded.
constexpr int kTextBytes = static_cast<int>(ACCOUNT_TEXT_SIZE) - 1;
constexpr int kMessageBytes = static_cast<int>(LOGIN_MESSAGE_SIZE) - 1;

// Flags of a folder added by "Add path", and of one chosen as Home.
constexpr uint32_t kAddedPathFlags = PERM_FILE_READ | PERM_FOLDER_LIST;
constexpr uint32_t kHomePathFlags =
    PERM_FILE_READ | PERM_FILE_WRITE | PERM_FOLDER_LIST | PERM_FOLDER_CREATE;

// Where an entry keeps what it shows: an account entry its record's
// address, a path entry nothing beyond its text.
constexpr int kRecordRole = Qt::UserRole;

QString Text(const char* field, std::size_t size) {
    return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, size)));
}

template <std::size_t N>
QString Text(const char (&field)[N]) {
    return Text(field, N);
}

// A path in the form the accessible paths keep, or empty when it names no
// absolute path that fits.
QString Normalised(const QString& path) {
    char out[PATH_TEXT_SIZE];
    const QByteArray bytes = path.toUtf8();
    if (!PathChecker::NormalisePath(std::string_view(bytes.constData(), bytes.size()), out,
                                    sizeof out)) {
        return {};
    }
    return QString::fromUtf8(out);
}

}  // namespace

TTWAcct::TTWAcct(AccountStore& store, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TTWAcct>()), store_(store) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // The designed size, or what the labels need in a larger font.
    const QSize needed = minimumSizeHint();
    setFixedSize(std::max(535, needed.width()), std::max(480, needed.height()));
    chooseFolder_ = [](QWidget* owner) -> std::optional<QString> {
        const QString folder = QFileDialog::getExistingDirectory(
            owner, QStringLiteral("Please select a folder"), QString(), QFileDialog::ShowDirsOnly);
        if (folder.isEmpty()) return std::nullopt;
        return folder;
    };

    ui_->LoginEdit->setValidator(new Utf8LengthValidator(kTextBytes, this));
    ui_->PassEdit->setValidator(new Utf8LengthValidator(kTextBytes, this));
    new Utf8MemoLimit(ui_->MsgMemo, kMessageBytes);
    ui_->dxTreeList1->setItemDelegate(new Utf8LimitDelegate(kTextBytes, this));
    ui_->dxTreeList1->setEditTriggers(QAbstractItemView::EditKeyPressed |
                                      QAbstractItemView::DoubleClicked);
    ui_->dxTreeList1->setSelectionMode(QAbstractItemView::ExtendedSelection);

    connect(ui_->AddAccountBtn, &QPushButton::clicked, this, &TTWAcct::AddAccountBtnClick);
    connect(ui_->DelAccountBtn, &QPushButton::clicked, this, &TTWAcct::DelAccountBtnClick);
    connect(ui_->BrowseBtn, &QPushButton::clicked, this, &TTWAcct::BrowseBtnClick);
    connect(ui_->AddPathBtn, &QPushButton::clicked, this, &TTWAcct::AddPathBtnClick);
    connect(ui_->DelPathBtn, &QPushButton::clicked, this, &TTWAcct::DelPathBtnClick);
    connect(ui_->CloseBtn, &QPushButton::clicked, this, &TTWAcct::CloseBtnClick);
    // A click shows the entry again, as a focus change by mouse or keyboard
    // does: a later store never writes one record's fields into another.
    connect(ui_->dxTreeList1, &QTreeWidget::currentItemChanged, this,
            &TTWAcct::dxTreeList1ChangeNode);
    connect(ui_->dxTreeList1, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* entry) { ShowAccount(AccountOf(entry)); });
    connect(ui_->dxTreeList1, &QTreeWidget::itemChanged, this, &TTWAcct::dxTreeList1Edited);
    connect(ui_->PathTreeList, &QTreeWidget::currentItemChanged, this,
            &TTWAcct::PathTreeListChangeNode);
    connect(ui_->PathTreeList, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* entry) { ShowPathRights(entry); });

    std::vector<account_s*> accounts;
    {
        AccountStore::Lock lock(store_);
        for (account_s* a = store_.accounts.head; a != nullptr; a = a->next) accounts.push_back(a);
    }
    QTreeWidgetItem* first;
    {
        const QSignalBlocker quiet(ui_->dxTreeList1);
        first = AddAccountEntry(nullptr, true);
        for (account_s* account : accounts) AddAccountEntry(account, false);
        ui_->dxTreeList1->setCurrentItem(first);
    }
    ShowAccount(AccountOf(first));
}

TTWAcct::~TTWAcct() = default;

account_s* TTWAcct::AccountOf(const QTreeWidgetItem* entry) const {
    if (entry == nullptr) return nullptr;
    return static_cast<account_s*>(entry->data(0, kRecordRole).value<void*>());
}

account_s* TTWAcct::FocusedAccount() const { return AccountOf(ui_->dxTreeList1->currentItem()); }

QTreeWidgetItem* TTWAcct::AddAccountEntry(account_s* account, bool anonymous) {
    QString name;
    {
        AccountStore::Lock lock(store_);
        if (anonymous) account = &store_.anonymous;
        name = Text(account->name);
    }
    auto* entry = new QTreeWidgetItem(ui_->dxTreeList1, {name});
    entry->setData(0, kRecordRole, QVariant::fromValue(static_cast<void*>(account)));
    entry->setIcon(0, QIcon(anonymous ? QStringLiteral(":/images/anonymous.svg")
                                      : QStringLiteral(":/images/account.svg")));
    // The anonymous account keeps its name.
    if (!anonymous) entry->setFlags(entry->flags() | Qt::ItemIsEditable);
    return entry;
}

QString TTWAcct::HomeText() const { return ui_->HomeEdit->text(); }

QTreeWidgetItem* TTWAcct::AddPathEntry(const QString& path) {
    auto* entry = new QTreeWidgetItem(ui_->PathTreeList, {path});
    entry->setIcon(0, QIcon(path == HomeText() ? QStringLiteral(":/images/home.svg")
                                               : QStringLiteral(":/images/folder.svg")));
    return entry;
}

void TTWAcct::ShowAccount(const account_s* account) {
    if (account == nullptr) return;
    struct {
        bool anonymous;
        QString login, password, home, message;
        uint32_t maxlogins, timeout, enabled;
    } shown;
    {
        AccountStore::Lock lock(store_);
        shown = {account == &store_.anonymous,
                 Text(account->login),
                 Text(account->password),
                 Text(account->home),
                 Text(account->loginmsg),
                 account->maxlogins,
                 account->timeout,
                 account->enabled};
    }
    for (QWidget* field :
         {static_cast<QWidget*>(ui_->LoginLabel), static_cast<QWidget*>(ui_->LoginEdit),
          static_cast<QWidget*>(ui_->PassLabel), static_cast<QWidget*>(ui_->PassEdit)}) {
        field->setEnabled(!shown.anonymous);
    }
    ui_->LoginEdit->setText(shown.login);
    ShowPassword(shown.password);
    ui_->HomeEdit->setText(shown.home);
    // The memo shows lines; the record separates them with CR LF.
    ui_->MsgMemo->setPlainText(
        QString(shown.message).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    ui_->MaxLoginSpinEdit->setValue(shown.maxlogins);
    ui_->TimeoutSpinEdit->setValue(shown.timeout);
    ui_->EnabledCheckBox->setChecked(shown.enabled != 0);
    FillPathList(account);
}

void TTWAcct::ShowPassword(const QString& stored) {
    // A hash never leaves the settings: the field stays empty and says
    // why, and only what the owner types replaces the hash.
    const QByteArray bytes = stored.toUtf8();
    const bool hashed = IsPasswordHash(std::string_view(bytes.constData(), bytes.size()));
    ui_->PassEdit->setText(hashed ? QString() : stored);
    ui_->PassEdit->setPlaceholderText(hashed ? QStringLiteral("(stored hashed)") : QString());
    ui_->PassEdit->setModified(false);
}

void TTWAcct::SaveAccount(account_s* account) {
    if (account == nullptr) return;
    const QByteArray login = ui_->LoginEdit->text().toUtf8();
    const bool keepHash =
        !ui_->PassEdit->placeholderText().isEmpty() && !ui_->PassEdit->isModified();
    QByteArray password = ui_->PassEdit->text().toUtf8();
    bool hashPasswords;
    {
        AccountStore::Lock lock(store_);
        hashPasswords = store_.confValues.hashPasswords;
    }
    // Only a password typed here is hashed; one shown as it is stored
    // stays as it is (a plain one is hashed at its next login).
    bool storedHash = false;
    if (!keepHash && hashPasswords && ui_->PassEdit->isModified() && !password.isEmpty()) {
        if (std::optional<std::string> hash =
                HashPassword(std::string_view(password.constData(), password.size()))) {
            password = QByteArray::fromStdString(*hash);
            storedHash = true;
        }
    }
    const QByteArray home = HomeText().toUtf8();
    const QByteArray message = Utf8MemoLimit::StoredForm(ui_->MsgMemo->toPlainText());
    const auto maxlogins = static_cast<uint32_t>(ui_->MaxLoginSpinEdit->value());
    const auto timeout = static_cast<uint32_t>(ui_->TimeoutSpinEdit->value());
    const uint32_t enabled = ui_->EnabledCheckBox->isChecked() ? 1 : 0;
    AccountStore::Lock lock(store_);
    CopyText(account->login, std::string_view(login.constData(), login.size()));
    if (!keepHash)
        CopyText(account->password, std::string_view(password.constData(), password.size()));
    CopyText(account->home, std::string_view(home.constData(), home.size()));
    CopyText(account->loginmsg, std::string_view(message.constData(), message.size()));
    account->maxlogins = maxlogins;
    account->timeout = timeout;
    account->enabled = enabled;
    if (!keepHash) {
        // The field now shows what is stored, as ShowPassword would.
        if (storedHash) ui_->PassEdit->clear();
        ui_->PassEdit->setPlaceholderText(storedHash ? QStringLiteral("(stored hashed)")
                                                     : QString());
        ui_->PassEdit->setModified(false);
    }
}

void TTWAcct::FillPathList(const account_s* account) {
    std::vector<QString> paths;
    {
        AccountStore::Lock lock(store_);
        for (const textnode_s* e = account->paths.entries.head; e != nullptr; e = e->next) {
            paths.push_back(Text(e->path));
        }
    }
    QTreeWidgetItem* first = nullptr;
    {
        // Emptying and refilling is no focus change: it stores nothing.
        const QSignalBlocker quiet(ui_->PathTreeList);
        ui_->PathTreeList->clear();
        for (const QString& path : paths) {
            QTreeWidgetItem* entry = AddPathEntry(path);
            if (first == nullptr) first = entry;
        }
        ui_->PathTreeList->setCurrentItem(first);
    }
    ShowPathRights(first);
}

void TTWAcct::ShowPathRights(const QTreeWidgetItem* path) {
    uint32_t flags = 0;
    const account_s* account = FocusedAccount();
    if (path != nullptr && account != nullptr) {
        const QByteArray text = path->text(0).toUtf8();
        AccountStore::Lock lock(store_);
        for (const textnode_s* e = account->paths.entries.head; e != nullptr; e = e->next) {
            if (text == e->path) flags = e->flags;
        }
    }
    ui_->FReadCheck->setChecked(flags & PERM_FILE_READ);
    ui_->FWriteCheck->setChecked(flags & PERM_FILE_WRITE);
    ui_->FDelCheck->setChecked(flags & PERM_FILE_DELETE);
    ui_->FoListCheck->setChecked(flags & PERM_FOLDER_LIST);
    ui_->FoCreateCheck->setChecked(flags & PERM_FOLDER_CREATE);
    ui_->FoDelCheck->setChecked(flags & PERM_FOLDER_DELETE);
}

void TTWAcct::SavePathRights(account_s* account, const QTreeWidgetItem* path) {
    if (account == nullptr || path == nullptr) return;
    uint32_t flags = 0;
    if (ui_->FReadCheck->isChecked()) flags |= PERM_FILE_READ;
    if (ui_->FWriteCheck->isChecked()) flags |= PERM_FILE_WRITE;
    if (ui_->FDelCheck->isChecked()) flags |= PERM_FILE_DELETE;
    if (ui_->FoListCheck->isChecked()) flags |= PERM_FOLDER_LIST;
    if (ui_->FoCreateCheck->isChecked()) flags |= PERM_FOLDER_CREATE;
    if (ui_->FoDelCheck->isChecked()) flags |= PERM_FOLDER_DELETE;
    const QByteArray text = path->text(0).toUtf8();
    AccountStore::Lock lock(store_);
    account->paths.SetPermissions(std::string_view(text.constData(), text.size()), flags);
}

std::optional<QString> TTWAcct::BrowseForFolder() { return chooseFolder_(this); }

void TTWAcct::dxTreeList1ChangeNode(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (account_s* left = AccountOf(previous)) {
        SavePathRights(left, ui_->PathTreeList->currentItem());
        SaveAccount(left);
    }
    // Shown at once, by keyboard as by mouse, so that the fields always
    // belong to the focused account.
    ShowAccount(AccountOf(current));
}

void TTWAcct::dxTreeList1Edited(QTreeWidgetItem* entry) {
    account_s* account = AccountOf(entry);
    if (account == nullptr) return;
    const QByteArray name = entry->text(0).toUtf8();
    AccountStore::Lock lock(store_);
    if (account == &store_.anonymous) return;
    CopyText(account->name, std::string_view(name.constData(), name.size()));
}

void TTWAcct::PathTreeListChangeNode(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (previous != nullptr) SavePathRights(FocusedAccount(), previous);
    ShowPathRights(current);
}

void TTWAcct::AddAccountBtnClick() {
    account_s* account;
    {
        AccountStore::Lock lock(store_);
        account = store_.AddAccount();
    }
    QTreeWidgetItem* entry = AddAccountEntry(account, false);
    ui_->dxTreeList1->clearSelection();
    // The focus change stores the account that had the focus and shows the
    // new one.
    ui_->dxTreeList1->setCurrentItem(entry);
    ui_->dxTreeList1->clearSelection();
    ui_->dxTreeList1->editItem(entry);
}

void TTWAcct::DelAccountBtnClick() {
    QTreeWidgetItem* entry = ui_->dxTreeList1->currentItem();
    account_s* account = AccountOf(entry);
    if (account == nullptr) return;
    {
        AccountStore::Lock lock(store_);
        // The anonymous account is never deleted; an account in use is
        // kept for its sessions and freed when the last of them ends.
        if (account == &store_.anonymous || store_.DeleteAccount(account) != 0) return;
    }
    QTreeWidgetItem* neighbour;
    {
        // The focus passes on without storing anything.
        const QSignalBlocker quiet(ui_->dxTreeList1);
        QTreeWidget* list = ui_->dxTreeList1;
        const int index = list->indexOfTopLevelItem(entry);
        delete entry;
        neighbour = list->topLevelItem(std::min(index, list->topLevelItemCount() - 1));
        list->setCurrentItem(neighbour);
        neighbour->setSelected(true);
    }
    ShowAccount(AccountOf(neighbour));
}

void TTWAcct::BrowseBtnClick() {
    const QString oldHome = Normalised(HomeText());
    const std::optional<QString> chosen = BrowseForFolder();
    if (!chosen) return;
    const QString home = Normalised(*chosen);
    account_s* account = FocusedAccount();
    if (home.isEmpty() || account == nullptr) return;
    const QByteArray oldBytes = oldHome.toUtf8();
    const QByteArray newBytes = home.toUtf8();
    bool added;
    {
        AccountStore::Lock lock(store_);
        if (!oldHome.isEmpty())
            account->paths.RemovePath(std::string_view(oldBytes.constData(), oldBytes.size()));
        added = account->paths.AddPath(std::string_view(newBytes.constData(), newBytes.size()),
                                       kHomePathFlags) != nullptr;
    }
    if (added) ui_->HomeEdit->setText(home);
    FillPathList(account);
}

void TTWAcct::AddPathBtnClick() {
    const std::optional<QString> chosen = BrowseForFolder();
    if (!chosen) return;
    const QString path = Normalised(*chosen);
    account_s* account = FocusedAccount();
    if (path.isEmpty() || account == nullptr) return;
    const QByteArray bytes = path.toUtf8();
    {
        AccountStore::Lock lock(store_);
        if (account->paths.AddPath(std::string_view(bytes.constData(), bytes.size()),
                                   kAddedPathFlags) == nullptr) {
            return;
        }
    }
    QTreeWidgetItem* entry = AddPathEntry(path);
    ui_->PathTreeList->clearSelection();
    // The focus change stores the rights of the path that had the focus.
    ui_->PathTreeList->setCurrentItem(entry);
}

void TTWAcct::DelPathBtnClick() {
    account_s* account = FocusedAccount();
    QTreeWidgetItem* entry = ui_->PathTreeList->currentItem();
    if (account == nullptr || entry == nullptr) return;
    // The home folder's path stays (paths are compared as the file system
    // does: letter case counts).
    if (entry->text(0) == HomeText()) return;
    const QByteArray bytes = entry->text(0).toUtf8();
    {
        AccountStore::Lock lock(store_);
        account->paths.RemovePath(std::string_view(bytes.constData(), bytes.size()));
    }
    FillPathList(account);
}

void TTWAcct::CloseBtnClick() {
    account_s* account = FocusedAccount();
    SavePathRights(account, ui_->PathTreeList->currentItem());
    SaveAccount(account);
    hide();
}

void TTWAcct::reject() { hide(); }
