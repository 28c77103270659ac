// The account manager driven as its owner drives it, against the running
// server: after each change a real FTP client (ftplib) logs in and shows
// what the change did.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/account_store.h"
#include "config/password_hash.h"
#include "config/settings.h"
#include "gui/twgui_acct.h"
#include "tests/gui/console_fixture.h"
#include "ui_twgui_acct.h"

using namespace console_fixture;

namespace {

const QString kOk = QStringLiteral("ok logged in");

// The entry of a list whose text is `text`, or null.
QTreeWidgetItem* Entry(QTreeWidget* list, const QString& text) {
    const auto found = list->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

void Click(QTreeWidget* list, QTreeWidgetItem* entry) {
    QVERIFY(entry != nullptr);
    const QRect rect = list->visualItemRect(entry);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

// One whole reply (continuation lines included); its last line.
std::string Reply(int fd) {
    for (;;) {
        std::string line = loopback::ReceiveUntil(fd, "\r\n");
        if (line.size() < 4 || line[3] == ' ') return line;
    }
}

// A data command over PASV: whether the server answered 226 at its end.
bool Passive(int control, const std::string& command) {
    loopback::SendText(control, "PASV\r\n");
    int h1, h2, h3, h4, p1, p2;
    if (std::sscanf(Reply(control).c_str(), "227 Entering passive mode (%d,%d,%d,%d,%d,%d)", &h1,
                    &h2, &h3, &h4, &p1, &p2) != 6) {
        return false;
    }
    const int data = loopback::ConnectTo(p1 * 256 + p2);
    loopback::SendText(control, command + "\r\n");
    if (data >= 0) {
        loopback::ReceiveUntilClosed(data);
        close(data);
    }
    std::string reply = Reply(control);
    if (reply.rfind("150", 0) == 0) reply = Reply(control);
    return reply.rfind("226", 0) == 0;
}

// A session that logs in, lists, downloads and leaves.
void Session(int port, const std::string& user, const std::string& password) {
    const int fd = loopback::ConnectTo(port);
    if (fd < 0) return;
    Reply(fd);
    loopback::SendText(fd, "USER " + user + "\r\n");
    Reply(fd);
    loopback::SendText(fd, "PASS " + password + "\r\n");
    if (Reply(fd).rfind("230", 0) == 0) {
        Passive(fd, "NLST");
        Passive(fd, "RETR small.txt");
    }
    loopback::SendText(fd, "QUIT\r\n");
    Reply(fd);
    close(fd);
}

void Replace(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

}  // namespace

class AccountManagerTest : public QObject, protected ConsoleFixture {
    Q_OBJECT

    TTWAcct* manager_ = nullptr;
    std::optional<QString> chosen_;

    Ui::TTWAcct& Ui() const { return manager_->Form(); }
    QTreeWidget* Accounts() const { return Ui().dxTreeList1; }
    QTreeWidget* Paths() const { return Ui().PathTreeList; }
    QString Home() const { return QString::fromStdString(HomePath().string()); }
    // Logs a new client in: "ok logged in" or the error.
    QString LogIn(const QString& user, const QString& password) {
        return NewClient().Do(QStringLiteral("login %1 %2").arg(user, password));
    }
    void Select(const QString& account) { Click(Accounts(), Entry(Accounts(), account)); }
    // The open in-place editor of the account list, or null.
    QLineEdit* Editor() const {
        for (QLineEdit* editor : Accounts()->viewport()->findChildren<QLineEdit*>()) {
            if (editor->isVisible()) return editor;
        }
        return nullptr;
    }
    // Renames the focused account through the in-place editor.
    void Rename(const QString& name) {
        if (Editor() == nullptr) Accounts()->editItem(Accounts()->currentItem());
        QLineEdit* editor = Editor();
        QVERIFY(editor != nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, name);
        QTest::keyClick(editor, Qt::Key_Return);
        // The editor hands its text over from the event loop.
        QTRY_COMPARE(Accounts()->currentItem()->text(0), name);
    }
    QCheckBox* Right(int bit) const {
        switch (bit) {
            case PERM_FILE_READ:
                return Ui().FReadCheck;
            case PERM_FILE_WRITE:
                return Ui().FWriteCheck;
            case PERM_FILE_DELETE:
                return Ui().FDelCheck;
            case PERM_FOLDER_LIST:
                return Ui().FoListCheck;
            case PERM_FOLDER_CREATE:
                return Ui().FoCreateCheck;
            default:
                return Ui().FoDelCheck;
        }
    }

private slots:
    void init() {
        StartConsole();
        std::filesystem::create_directories(HomePath() / "sub");
        std::ofstream(HomePath() / "victim.txt") << "to delete";
        manager_ = window_->ShowAccountManager();
        manager_->SetFolderChooser([this](QWidget*) { return chosen_; });
    }
    void cleanup() {
        std::filesystem::remove_all(HomePath() / "sub");
        std::filesystem::remove_all(HomePath() / "made");
        std::filesystem::remove(HomePath() / "new.txt");
        StopConsole();
    }

    void theWindowAsItOpens() {
        QCOMPARE(manager_->windowTitle(), QStringLiteral("Tarnwell Server account manager"));
        QVERIFY(manager_->isVisible());
        QCOMPARE(Accounts()->topLevelItemCount(), 3);
        QCOMPARE(Accounts()->topLevelItem(0)->text(0), QStringLiteral("Public FTP Account"));
        QCOMPARE(Accounts()->topLevelItem(1)->text(0), QStringLiteral("Bob"));
        QCOMPARE(Accounts()->currentItem(), Accounts()->topLevelItem(0));
        // The anonymous account: no login or password to edit, no rename.
        QVERIFY(!Ui().LoginEdit->isEnabled() && !Ui().PassEdit->isEnabled());
        QVERIFY(!(Accounts()->topLevelItem(0)->flags() & Qt::ItemIsEditable));
        QCOMPARE(Ui().HomeEdit->text(), Home());
        QCOMPARE(Paths()->topLevelItemCount(), 1);
        for (int bit : {PERM_FILE_READ, PERM_FILE_WRITE, PERM_FILE_DELETE, PERM_FOLDER_LIST,
                        PERM_FOLDER_CREATE, PERM_FOLDER_DELETE}) {
            QVERIFY(Right(bit)->isChecked());
        }
        // Every field is named by its label.
        QCOMPARE(Ui().LoginLabel->buddy(), Ui().LoginEdit);
        QCOMPARE(Ui().TimeoutLabel->buddy(), Ui().TimeoutSpinEdit);
        // Shown again, it is the same window.
        manager_->hide();
        QCOMPARE(window_->ShowAccountManager(), manager_);
    }

    void aNewAccountWorksAtOnce() {
        Ui().AddAccountBtn->click();
        QTreeWidgetItem* entry = Accounts()->currentItem();
        QCOMPARE(entry->text(0), QStringLiteral("New Account"));
        QVERIFY(Editor() != nullptr);
        Rename(QStringLiteral("Carol"));
        QCOMPARE(entry->text(0), QStringLiteral("Carol"));
        QVERIFY(Ui().EnabledCheckBox->isChecked());
        QCOMPARE(Ui().TimeoutSpinEdit->value(), 300.0);
        QCOMPARE(Paths()->topLevelItemCount(), 0);
        Replace(Ui().LoginEdit, QStringLiteral("carol"));
        Replace(Ui().PassEdit, QStringLiteral("pw"));
        chosen_ = Home() + QStringLiteral("/");  // stored without the trailing '/'
        Ui().BrowseBtn->click();
        QCOMPARE(Ui().HomeEdit->text(), Home());
        QCOMPARE(Paths()->topLevelItemCount(), 1);
        // Read, Write, List and Create for a home chosen with "Browse".
        QVERIFY(Ui().FReadCheck->isChecked() && Ui().FWriteCheck->isChecked() &&
                !Ui().FDelCheck->isChecked());
        QVERIFY(Ui().FoListCheck->isChecked() && Ui().FoCreateCheck->isChecked() &&
                !Ui().FoDelCheck->isChecked());
        Ui().CloseBtn->click();
        QVERIFY(!manager_->isVisible());

        Client& carol = NewClient();
        QCOMPARE(carol.Do("login carol pw"), kOk);
        QCOMPARE(carol.Do("retr small.txt"), QStringLiteral("ok 10"));
        QCOMPARE(carol.Do("stor new.txt").left(6), QStringLiteral("ok 226"));
        QCOMPARE(TopTexts(Tree()), QStringList{"Carol (1 connection)"});
    }

    void aRenameShowsInTheStatusTree() {
        Select(QStringLiteral("Bob"));
        Rename(QStringLiteral("Robert"));
        QCOMPARE(LogIn("bob", "pw"), kOk);
        QCOMPARE(TopTexts(Tree()), QStringList{"Robert (1 connection)"});
        // The anonymous account cannot be renamed.
        Accounts()->setCurrentItem(Accounts()->topLevelItem(0));
        Accounts()->editItem(Accounts()->topLevelItem(0));
        QVERIFY(Editor() == nullptr);
    }

    void passwordEnabledAndClosingByTheTitleBar() {
        Select(QStringLiteral("Bob"));
        Replace(Ui().PassEdit, QStringLiteral("secret"));
        // The title bar's close stores nothing.
        manager_->close();
        QCOMPARE(LogIn("bob", "pw"), kOk);
        window_->ShowAccountManager();
        QCOMPARE(Ui().PassEdit->text(), QStringLiteral("secret"));  // still shown
        Ui().CloseBtn->click();
        QCOMPARE(LogIn("bob", "pw").left(9), QStringLiteral("error 530"));
        QCOMPARE(LogIn("bob", "secret"), kOk);

        window_->ShowAccountManager();
        Select(QStringLiteral("Alice"));
        Ui().EnabledCheckBox->click();
        Ui().CloseBtn->click();
        QCOMPARE(LogIn("alice", "pw").left(9), QStringLiteral("error 530"));
    }

    void aHashedPasswordShowsAsAPlaceholderAndATypedOneReplacesIt() {
        auto setStorage = [this](bool hashed) {
            AccountStore::Lock lock(server_->store);
            server_->store.confValues.hashPasswords = hashed;
        };
        auto storedPassword = [this](const char* login) {
            AccountStore::Lock lock(server_->store);
            for (account_s* a = server_->store.accounts.head; a != nullptr; a = a->next) {
                if (std::string(a->login) == login) return std::string(a->password);
            }
            return std::string();
        };
        setStorage(true);
        Select(QStringLiteral("Bob"));
        Replace(Ui().PassEdit, QStringLiteral("Secret"));
        Select(QStringLiteral("Alice"));  // leaving Bob stores his fields
        const std::string hash = storedPassword("bob");
        QVERIFY2(IsPasswordHash(hash), hash.c_str());
        QCOMPARE(LogIn("bob", "SECRET"), kOk);

        // Shown again: an empty field that says why; the hash never shows.
        Select(QStringLiteral("Bob"));
        QCOMPARE(Ui().PassEdit->text(), QString());
        QCOMPARE(Ui().PassEdit->placeholderText(), QStringLiteral("(stored hashed)"));
        // Other edits keep the hash as it is, even after plain storage
        // is chosen again...
        setStorage(false);
        Replace(Ui().LoginEdit, QStringLiteral("bobby"));
        Ui().CloseBtn->click();
        QCOMPARE(storedPassword("bobby"), hash);
        QCOMPARE(LogIn("bobby", "secret"), kOk);
        // ...and a typed password replaces it, stored as plain storage says.
        window_->ShowAccountManager();
        QTest::keyClicks(Ui().PassEdit, QStringLiteral("fresh"));
        Ui().CloseBtn->click();
        QCOMPARE(storedPassword("bobby"), std::string("fresh"));
        QCOMPARE(LogIn("bobby", "secret").left(9), QStringLiteral("error 530"));
        QCOMPARE(LogIn("bobby", "fresh"), kOk);
        window_->ShowAccountManager();
        QCOMPARE(Ui().PassEdit->text(), QStringLiteral("fresh"));
        QCOMPARE(Ui().PassEdit->placeholderText(), QString());
    }

    void aDeletedAccountRefusesLoginsWhileItsSessionGoesOn() {
        Client& alice = NewClient();
        QCOMPARE(alice.Do("login alice pw"), kOk);
        Select(QStringLiteral("Alice"));
        Ui().DelAccountBtn->click();
        QVERIFY(Entry(Accounts(), QStringLiteral("Alice")) == nullptr);
        QVERIFY(Accounts()->currentItem() != nullptr);
        QCOMPARE(LogIn("alice", "pw").left(9), QStringLiteral("error 530"));
        // The connected session keeps its account until it ends.
        QCOMPARE(alice.Do("noop"), QStringLiteral("ok 200 NOOP command successful"));
        QCOMPARE(alice.Do("retr small.txt"), QStringLiteral("ok 10"));
        QCOMPARE(alice.Do("quit"), QStringLiteral("ok bye"));
        QTRY_COMPARE(Tree()->topLevelItemCount(), 0);
        {
            AccountStore::Lock lock(server_->store);
            QCOMPARE(server_->store.accounts.count, 1);
        }
        QTRY_COMPARE(server_->store.RetiredCount(), 0);
        // The anonymous account is never deleted.
        Accounts()->setCurrentItem(Accounts()->topLevelItem(0));
        Ui().DelAccountBtn->click();
        QCOMPARE(Accounts()->topLevelItem(0)->text(0), QStringLiteral("Public FTP Account"));
    }

    void eachPermissionDecidesItsCommand_data() {
        QTest::addColumn<int>("bit");
        QTest::addColumn<QString>("command");
        QTest::newRow("file read") << int(PERM_FILE_READ) << QStringLiteral("retr small.txt");
        QTest::newRow("file write") << int(PERM_FILE_WRITE) << QStringLiteral("stor new.txt");
        QTest::newRow("file delete")
            << int(PERM_FILE_DELETE) << QStringLiteral("cmd DELE victim.txt");
        QTest::newRow("folder list") << int(PERM_FOLDER_LIST) << QStringLiteral("nlst");
        QTest::newRow("folder create") << int(PERM_FOLDER_CREATE) << QStringLiteral("cmd MKD made");
        QTest::newRow("folder delete") << int(PERM_FOLDER_DELETE) << QStringLiteral("cmd RMD sub");
    }

    void eachPermissionDecidesItsCommand() {
        QFETCH(int, bit);
        QFETCH(QString, command);
        // Bob's home path with every right but this one.
        Select(QStringLiteral("Bob"));
        Right(bit)->click();
        QVERIFY(!Right(bit)->isChecked());
        Ui().CloseBtn->click();
        Client& without = NewClient();
        QCOMPARE(without.Do("login bob pw"), kOk);
        QVERIFY2(without.Do(command).startsWith(QStringLiteral("error")), qPrintable(command));

        window_->ShowAccountManager();
        Right(bit)->click();
        Ui().CloseBtn->click();
        Client& with = NewClient();
        QCOMPARE(with.Do("login bob pw"), kOk);
        const QString answer = with.Do(command);
        QVERIFY2(answer.startsWith(QStringLiteral("ok")), qPrintable(answer));
    }

    void paths() {
        Select(QStringLiteral("Bob"));
        // The home folder's path stays.
        Ui().DelPathBtn->click();
        QCOMPARE(Paths()->topLevelItemCount(), 1);
        // An added path reads and lists; adding it twice adds nothing.
        chosen_ = Home() + QStringLiteral("/sub");
        Ui().AddPathBtn->click();
        Ui().AddPathBtn->click();
        QCOMPARE(Paths()->topLevelItemCount(), 2);
        QCOMPARE(Paths()->currentItem()->text(0), *chosen_);
        QVERIFY(Ui().FReadCheck->isChecked() && Ui().FoListCheck->isChecked() &&
                !Ui().FWriteCheck->isChecked());
        // Moving between paths stores the rights of the one left.
        Ui().FWriteCheck->click();
        Click(Paths(), Paths()->topLevelItem(0));
        QVERIFY(Ui().FoDelCheck->isChecked());
        QTest::keyClick(Paths(), Qt::Key_Down);
        QVERIFY(Ui().FWriteCheck->isChecked());
        {
            AccountStore::Lock lock(server_->store);
            const QByteArray sub = chosen_->toUtf8();
            QCOMPARE(server_->store.accounts.head->paths.GetPermissions(sub.constData()),
                     int32_t(PERM_FILE_READ | PERM_FILE_WRITE | PERM_FOLDER_LIST));
        }
        Ui().DelPathBtn->click();
        QCOMPARE(Paths()->topLevelItemCount(), 1);
        QCOMPARE(Paths()->currentItem()->text(0), Home());
        // Choosing nothing changes nothing.
        chosen_.reset();
        Ui().AddPathBtn->click();
        Ui().BrowseBtn->click();
        QCOMPARE(Paths()->topLevelItemCount(), 1);
        QCOMPARE(Ui().HomeEdit->text(), Home());
    }

    void keyboardNavigationNeverMixesTwoRecords() {
        Select(QStringLiteral("Bob"));
        Replace(Ui().LoginEdit, QStringLiteral("bobby"));
        Ui().MaxLoginSpinEdit->setValue(7);
        Accounts()->setFocus();
        QTest::keyClick(Accounts(), Qt::Key_Down);
        QCOMPARE(Accounts()->currentItem()->text(0), QStringLiteral("Alice"));
        QCOMPARE(Ui().LoginEdit->text(), QStringLiteral("alice"));
        QCOMPARE(Ui().MaxLoginSpinEdit->value(), 10.0);
        QTest::keyClick(Accounts(), Qt::Key_Up);
        QCOMPARE(Ui().LoginEdit->text(), QStringLiteral("bobby"));
        QCOMPARE(Ui().MaxLoginSpinEdit->value(), 7.0);
        QTest::keyClick(Accounts(), Qt::Key_Up);
        QVERIFY(!Ui().LoginEdit->isEnabled());
        QCOMPARE(LogIn("bobby", "pw"), kOk);
        QCOMPARE(LogIn("alice", "pw"), kOk);
    }

    void fieldsTakeNoMoreThanTheRecordHolds() {
        Select(QStringLiteral("Bob"));
        // 260 bytes: 130 two-byte characters fit, a 131st does not.
        const QString twoByte(130, QChar(0x00E9));
        Ui().LoginEdit->clear();
        Ui().LoginEdit->insert(twoByte);
        Ui().LoginEdit->insert(QString(QChar(0x00E9)));
        QCOMPARE(Ui().LoginEdit->text(), twoByte);
        // The message counts its line breaks as CR LF.
        Ui().MsgMemo->setPlainText(QString(1026, QLatin1Char('m')));
        QTest::keyClick(Ui().MsgMemo, Qt::Key_Return);
        QCOMPARE(Ui().MsgMemo->toPlainText().size(), 1026);
        Ui().MsgMemo->setPlainText(QString(1027, QLatin1Char('m')));
        QTest::keyClicks(Ui().MsgMemo, QStringLiteral("x"));
        QCOMPARE(Ui().MsgMemo->toPlainText().size(), 1027);
        QCOMPARE(Ui().MaxLoginSpinEdit->maximum(), 4294967295.0);
        Ui().CloseBtn->click();
        AccountStore::Lock lock(server_->store);
        QCOMPARE(QString::fromUtf8(server_->store.accounts.head->login), twoByte);
    }

    void afterExitTheSettingsHoldEveryChange() {
        Ui().AddAccountBtn->click();
        Rename(QStringLiteral("Dave"));
        Replace(Ui().LoginEdit, QStringLiteral("dave"));
        Ui().MsgMemo->setPlainText(QStringLiteral("first\nsecond"));
        chosen_ = Home();
        Ui().BrowseBtn->click();
        chosen_ = Home() + QStringLiteral("/sub");
        Ui().AddPathBtn->click();
        Ui().FoDelCheck->click();
        Ui().CloseBtn->click();
        QVERIFY(window_->Shutdown());

        AccountStore loaded;
        LoadSettings(loaded, Files());
        {
            AccountStore::Lock lock(loaded);
            const account_s* dave = loaded.accounts.tail;
            QCOMPARE(QString::fromUtf8(dave->name), QStringLiteral("Dave"));
            QCOMPARE(QString::fromUtf8(dave->login), QStringLiteral("dave"));
            QCOMPARE(QString::fromUtf8(dave->loginmsg), QStringLiteral("first\r\nsecond"));
            QCOMPARE(dave->paths.entries.count, 2);
            QCOMPARE(dave->paths.entries.tail->flags,
                     PERM_FILE_READ | PERM_FOLDER_LIST | PERM_FOLDER_DELETE);
        }
        // Saved again, it is the same file.
        QTemporaryDir again;
        QVERIFY(SaveSettings(loaded, SettingsFilesIn(again.path().toStdString())));
        QFile first(settings_.filePath(QStringLiteral("tarnhold.bot")));
        QFile second(again.filePath(QStringLiteral("tarnhold.bot")));
        QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
        QCOMPARE(second.readAll(), first.readAll());
    }

    void editsWhileSessionsWork() {
        // Sessions log in, list and download without a pause while the
        // window adds, edits and deletes accounts and paths (ThreadSanitizer
        // watches the records).
        std::atomic<bool> stop{false};
        std::atomic<int> rounds{0};
        std::atomic<int> ended{0};
        std::vector<std::thread> sessions;
        for (const char* user : {"bob", "anonymous", "alice", "temp"}) {
            sessions.emplace_back([&, user] {
                while (!stop) {
                    Session(port_, user,
                            std::string(user) == "anonymous" ? "me@example.org" : "pw");
                    ++rounds;
                }
                ++ended;
            });
        }
        for (int i = 0; i < 20; ++i) {
            Ui().AddAccountBtn->click();
            Rename(QStringLiteral("Temp %1").arg(i));
            Replace(Ui().LoginEdit, QStringLiteral("temp"));
            Replace(Ui().PassEdit, QStringLiteral("pw"));
            chosen_ = Home();
            Ui().BrowseBtn->click();
            chosen_ = Home() + QStringLiteral("/sub");
            Ui().AddPathBtn->click();
            Ui().FoDelCheck->click();
            Select(QStringLiteral("Bob"));
            Ui().FoListCheck->click();
            Select(QStringLiteral("Temp %1").arg(i));
            Ui().DelPathBtn->click();
            QTest::qWait(10);
            Ui().DelAccountBtn->click();
            QTest::qWait(5);
        }
        QTRY_VERIFY(rounds.load() > 10);
        stop = true;
        // The sessions report to the window until they end.
        QTRY_COMPARE(ended.load(), static_cast<int>(sessions.size()));
        for (std::thread& s : sessions) s.join();
        AccountStore::Lock lock(server_->store);
        QCOMPARE(server_->store.accounts.count, 2);
    }
};

QTEST_MAIN(AccountManagerTest)
#include "account_manager_test.moc"
