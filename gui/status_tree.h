// StatusTree: the status tree (the control StatTreeList). One top node
// per account with at least one session, one child per session with its address, what it is doing
// and (beyond the two designed columns) the transfer in progress. Nodes
// are matched to records by identity; a record's address is compared,
// never followed, outside the store's lock.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <QTreeWidget>
#include <cstdint>

class QAction;
class AccountStore;
struct client_s;

class StatusTree : public QTreeWidget {
    Q_OBJECT
public:
    // Columns of the tree.
    enum Column { AccountColumn = 0, StatusColumn = 1, TransferColumn = 2 };

    explicit StatusTree(QWidget* parent = nullptr);

    // The store whose accounts and sessions are shown; it must outlive
    // this view. GUI thread.
    void SetStore(AccountStore* store);

    // Brings the tree up to date with the store (nodes of accounts with
    // sessions, their sessions, the counts), stamping every node it finds
    // with `stamp` and deleting those it did not find. Returns the number
    // of sessions logged in. GUI thread.
    int RefreshStatus(int32_t stamp);

    // Updates the "Transfer" column from the sessions' counters; runs by
    // itself about twice a second while a transfer is shown. GUI thread.
    void UpdateTransfers();

    // "Disconnect": ends the session of the current node (shown in the
    // context menu of session nodes).
    QAction* DisconnectAction() const { return disconnectAction_; }

    // The record a node shows (an account_s or a client_s), compared only.
    static const void* RecordOf(const QTreeWidgetItem* node);

signals:
    // The owner chose "Disconnect" on a session node.
    void disconnectRequested(const client_s* client);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    class Node;
    struct SessionView;
    struct AccountView;

    void ShowTransfer(Node* node, const SessionView& session);
    void FitColumns();

    void DisconnectCurrent();

    AccountStore* store_ = nullptr;
    QAction* disconnectAction_;
    // A session over FTPS shows the session image with a lock.
    QIcon anonymousIcon_, accountIcon_, sessionIcon_, securedIcon_;
    QTimer transferTimer_;
    QElapsedTimer clock_;
};
