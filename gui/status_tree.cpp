#include "gui/status_tree.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLocale>
#include <QMenu>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/account_store.h"
#include "config/linked_list.h"
#include "config/records.h"

namespace {

// How often the "Transfer" column is brought up to date while it shows a
// transfer.
constexpr int kTransferIntervalMs = 500;

// Shares of the tree's width. The designed 248 and 288 pixels were for two
// columns in a smaller font; the status words need little room, so the
// transfer takes most of the second share and an account's text has room
// for its count at the designed window width.
constexpr int kColumnWeights[] = {280, 84, 276};

QString StateWord(uint32_t state) {
    switch (state) {
        case CLIENT_LIST:
            return QStringLiteral("list");
        case CLIENT_DOWNLOAD:
            return QStringLiteral("download");
        case CLIENT_UPLOAD:
            return QStringLiteral("upload");
        default:
            return QStringLiteral("idle");
    }
}

bool Moving(uint32_t state) {
    return state == CLIENT_LIST || state == CLIENT_DOWNLOAD || state == CLIENT_UPLOAD;
}

QString Bytes(int64_t count) { return QLocale::system().formattedDataSize(count, 1); }

// The last name of a client's path: what the cell has room for.
QString LastName(const QString& path) {
    const qsizetype slash =
        std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return slash >= 0 && slash + 1 < path.size() ? path.mid(slash + 1) : path;
}

}  // namespace

// Rows of one height, measured once: the view asks for the size of the
// first row at every layout, and a new account or session lays the view
// out, so measuring the text each time (shaping it) would cost every event.
class UniformRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (height_ < 0) height_ = QStyledItemDelegate::sizeHint(option, index).height();
        return QSize(option.rect.width(), height_);
    }

private:
    mutable int height_ = -1;
};

// A header that measures its titles once: the view asks for the header's
// size at every layout, and the titles never change.
class TitleHeader : public QHeaderView {
public:
    explicit TitleHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
        // As the tree's own header has it.
        setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    QSize sizeHint() const override {
        if (!measured_.isValid()) measured_ = QHeaderView::sizeHint();
        return measured_;
    }

protected:
    void changeEvent(QEvent* event) override {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
            measured_ = QSize();
        }
        QHeaderView::changeEvent(event);
    }

private:
    mutable QSize measured_;
};

// A node and the record it shows, with the stamp of the refresh that last
// found it and, for a session, the counter seen at the last update.
class StatusTree::Node : public QTreeWidgetItem {
public:
    explicit Node(const void* record) : record(record) {}

    const void* record;
    int32_t stamp = 0;
    QString transferName;
    int64_t lastBytes = -1;
    qint64 lastMs = 0;
    QString rate;
    // For a session: whether its image shows the lock; unset before the first.
    std::optional<bool> secured;
};

// What a refresh reads of a session and an account under the store's lock.
struct StatusTree::SessionView {
    const client_s* record;
    QString address;
    uint32_t state;
    QString transferName;
    int64_t transferred;
    int64_t size;
    bool secured;
};

struct StatusTree::AccountView {
    const account_s* record;
    QString name;
    int32_t count;
    std::vector<SessionView> sessions;
};

namespace {

template <typename View>
View ReadSession(const client_s* c) {
    return View{
        c,
        QString::fromUtf8(c->address, static_cast<int>(strnlen(c->address, sizeof c->address))),
        c->state,
        QString::fromUtf8(c->transferName,
                          static_cast<int>(strnlen(c->transferName, sizeof c->transferName))),
        c->transferred.load(std::memory_order_relaxed),
        c->transferSize.load(std::memory_order_relaxed),
        c->secured.load(std::memory_order_relaxed)};
}

}  // namespace

StatusTree::StatusTree(QWidget* parent)
    : QTreeWidget(parent),
      anonymousIcon_(QStringLiteral(":/images/anonymous.svg")),
      accountIcon_(QStringLiteral(":/images/account.svg")),
      sessionIcon_(QStringLiteral(":/images/session.svg")),
      securedIcon_(QStringLiteral(":/images/secured.svg")) {
    setHeader(new TitleHeader(this));
    setColumnCount(3);
    setHeaderLabels({QStringLiteral("Active accounts/users"), QStringLiteral("Status"),
                     QStringLiteral("Transfer")});
    setFrameShape(QFrame::NoFrame);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setTextElideMode(Qt::ElideRight);
    setUniformRowHeights(true);
    setItemDelegate(new UniformRowDelegate(this));
    setRootIsDecorated(true);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    setAccessibleName(QStringLiteral("Active accounts/users"));
    disconnectAction_ = new QAction(QStringLiteral("&Disconnect"), this);
    connect(disconnectAction_, &QAction::triggered, this, &StatusTree::DisconnectCurrent);
    transferTimer_.setInterval(kTransferIntervalMs);
    connect(&transferTimer_, &QTimer::timeout, this, &StatusTree::UpdateTransfers);
    clock_.start();
}

void StatusTree::SetStore(AccountStore* store) { store_ = store; }

const void* StatusTree::RecordOf(const QTreeWidgetItem* node) {
    return static_cast<const Node*>(node)->record;
}

int StatusTree::RefreshStatus(int32_t stamp) {
    if (store_ == nullptr) return 0;
    // Read under the store's lock, then shown without it: sessions never
    // wait for the widgets.
    std::vector<AccountView> accounts;
    {
        AccountStore::Lock lock(*store_);
        auto read = [&](const account_s& a) {
            // Accounts without sessions only add their count of 0: their
            // names are not read, so many idle accounts cost an event little.
            AccountView view{&a, QString(), a.clients.count, {}};
            if (a.clients.count > 0) {
                view.name =
                    QString::fromUtf8(a.name, static_cast<int>(strnlen(a.name, sizeof a.name)));
            }
            for (const client_s* c = a.clients.head; c != nullptr; c = c->next) {
                view.sessions.push_back(ReadSession<SessionView>(c));
            }
            accounts.push_back(std::move(view));
        };
        read(store_->anonymous);
        for (const account_s* a = store_->accounts.head; a != nullptr; a = a->next) read(*a);
    }

    int total = 0;
    bool moving = false;
    bool first = true;
    for (const AccountView& account : accounts) {
        const bool visitedFirst = first;
        first = false;
        total += account.count;
        if (account.count < 1) continue;

        Node* node = nullptr;
        for (int i = 0; i < topLevelItemCount() && node == nullptr; ++i) {
            auto* top = static_cast<Node*>(topLevelItem(i));
            if (top->record == account.record) node = top;
        }
        if (node == nullptr) {
            node = new Node(account.record);
            node->setIcon(AccountColumn, visitedFirst ? anonymousIcon_ : accountIcon_);
            if (visitedFirst) {
                insertTopLevelItem(0, node);
            } else {
                addTopLevelItem(node);
            }
            node->setExpanded(true);
        }
        node->stamp = stamp;
        node->setText(AccountColumn, account.name + QStringLiteral(" (") +
                                         QString::number(account.count) +
                                         (account.count == 1 ? QStringLiteral(" connection)")
                                                             : QStringLiteral(" connections)")));

        for (const SessionView& session : account.sessions) {
            Node* child = nullptr;
            for (int i = 0; i < node->childCount() && child == nullptr; ++i) {
                auto* c = static_cast<Node*>(node->child(i));
                if (c->record == session.record) child = c;
            }
            if (child == nullptr) {
                child = new Node(session.record);
                node->addChild(child);
            }
            // AUTH may come after the login: the image follows the record.
            if (child->secured != session.secured) {
                child->secured = session.secured;
                child->setIcon(AccountColumn, session.secured ? securedIcon_ : sessionIcon_);
            }
            child->stamp = stamp;
            child->setText(AccountColumn, session.address);
            child->setText(StatusColumn, StateWord(session.state));
            ShowTransfer(child, session);
            moving = moving || Moving(session.state);
        }

        LinkedList<delnode_s> doomed;
        for (int i = 0; i < node->childCount(); ++i) {
            if (static_cast<Node*>(node->child(i))->stamp != stamp)
                doomed.Append()->item = node->child(i);
        }
        for (delnode_s* d = doomed.head; d != nullptr; d = d->next) {
            delete static_cast<QTreeWidgetItem*>(d->item);
        }
    }

    LinkedList<delnode_s> doomed;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (static_cast<Node*>(topLevelItem(i))->stamp != stamp)
            doomed.Append()->item = topLevelItem(i);
    }
    for (delnode_s* d = doomed.head; d != nullptr; d = d->next) {
        delete static_cast<QTreeWidgetItem*>(d->item);
    }
    // The whole tree expanded: only a node the owner collapsed needs it,
    // and expandAll() would lay the whole view out again at every event.
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (!topLevelItem(i)->isExpanded()) topLevelItem(i)->setExpanded(true);
    }

    if (moving && !transferTimer_.isActive()) transferTimer_.start();
    return total;
}

void StatusTree::UpdateTransfers() {
    if (store_ == nullptr) return;
    std::vector<SessionView> sessions;
    {
        AccountStore::Lock lock(*store_);
        auto read = [&](const account_s& a) {
            for (const client_s* c = a.clients.head; c != nullptr; c = c->next) {
                if (Moving(c->state)) sessions.push_back(ReadSession<SessionView>(c));
            }
        };
        read(store_->anonymous);
        for (const account_s* a = store_->accounts.head; a != nullptr; a = a->next) read(*a);
    }
    for (const SessionView& session : sessions) {
        for (int i = 0; i < topLevelItemCount(); ++i) {
            QTreeWidgetItem* top = topLevelItem(i);
            for (int j = 0; j < top->childCount(); ++j) {
                auto* child = static_cast<Node*>(top->child(j));
                if (child->record == session.record) ShowTransfer(child, session);
            }
        }
    }
    if (sessions.empty()) transferTimer_.stop();
}

void StatusTree::ShowTransfer(Node* node, const SessionView& session) {
    if (!Moving(session.state)) {
        node->transferName.clear();
        node->lastBytes = -1;
        node->rate.clear();
        node->setText(TransferColumn, QString());
        node->setToolTip(TransferColumn, QString());
        return;
    }
    const qint64 now = clock_.elapsed();
    if (node->transferName != session.transferName || node->lastBytes < 0 ||
        session.transferred < node->lastBytes) {
        // A new transfer: its rate is known from the next update on.
        node->transferName = session.transferName;
        node->rate.clear();
        node->lastBytes = session.transferred;
        node->lastMs = now;
    } else if (now - node->lastMs >= kTransferIntervalMs / 2) {
        const double seconds = static_cast<double>(now - node->lastMs) / 1000.0;
        const auto perSecond = static_cast<int64_t>(
            static_cast<double>(session.transferred - node->lastBytes) / seconds);
        node->rate = Bytes(perSecond) + QStringLiteral("/s");
        node->lastBytes = session.transferred;
        node->lastMs = now;
    }
    QString text =
        LastName(session.transferName) + QStringLiteral(", ") + Bytes(session.transferred);
    if (session.state == CLIENT_DOWNLOAD && session.size >= 0) {
        text += QStringLiteral(" of ") + Bytes(session.size);
    }
    if (!node->rate.isEmpty()) text += QStringLiteral(", ") + node->rate;
    node->setText(TransferColumn, text);
    node->setToolTip(TransferColumn, session.transferName);
}

void StatusTree::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    FitColumns();
}

void StatusTree::FitColumns() {
    // The columns are widened together, in the proportions of their
    // widths, to fill the tree.
    const int width = viewport()->width();
    int sum = 0;
    for (int weight : kColumnWeights) sum += weight;
    int used = 0;
    for (int column = 0; column < 3; ++column) {
        const int w = column < 2 ? width * kColumnWeights[column] / sum : width - used;
        setColumnWidth(column, w);
        used += w;
    }
}

void StatusTree::contextMenuEvent(QContextMenuEvent* event) {
    QTreeWidgetItem* item = event->reason() == QContextMenuEvent::Mouse
                                ? itemAt(viewport()->mapFromGlobal(event->globalPos()))
                                : currentItem();
    if (item == nullptr || item->parent() == nullptr) return;
    setCurrentItem(item);
    QMenu menu(this);
    menu.addAction(disconnectAction_);
    menu.exec(event->globalPos());
}

void StatusTree::DisconnectCurrent() {
    QTreeWidgetItem* item = currentItem();
    if (item == nullptr || item->parent() == nullptr) return;
    emit disconnectRequested(static_cast<const client_s*>(RecordOf(item)));
}
