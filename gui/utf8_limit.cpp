#include "gui/utf8_limit.h"

#include <QLineEdit>
#include <QTextCursor>

Utf8LengthValidator::Utf8LengthValidator(int maxBytes, QObject* parent)
    : QValidator(parent), maxBytes_(maxBytes) {}

QValidator::State Utf8LengthValidator::validate(QString& input, int&) const {
    return input.toUtf8().size() <= maxBytes_ ? Acceptable : Invalid;
}

Utf8LimitDelegate::Utf8LimitDelegate(int maxBytes, QObject* parent)
    : QStyledItemDelegate(parent), maxBytes_(maxBytes) {}

QWidget* Utf8LimitDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                         const QModelIndex& index) const {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor)) {
        line->setValidator(new Utf8LengthValidator(maxBytes_, line));
    }
    return editor;
}

Utf8MemoLimit::Utf8MemoLimit(QPlainTextEdit* memo, int maxBytes)
    : QObject(memo), memo_(memo), maxBytes_(maxBytes) {
    accepted_ = memo->toPlainText();
    connect(memo, &QPlainTextEdit::textChanged, this, &Utf8MemoLimit::Check);
}

QByteArray Utf8MemoLimit::StoredForm(const QString& text) {
    QString stored = text;
    stored.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return stored.toUtf8();
}

void Utf8MemoLimit::Check() {
    if (restoring_) return;
    const QString text = memo_->toPlainText();
    if (StoredForm(text).size() <= maxBytes_) {
        accepted_ = text;
        return;
    }
    // Back to the last text that fitted, with the cursor where the
    // refused edit began.
    const int position =
        std::min(memo_->textCursor().position(), static_cast<int>(accepted_.size()));
    restoring_ = true;
    memo_->setPlainText(accepted_);
    QTextCursor cursor = memo_->textCursor();
    cursor.setPosition(std::min(position, static_cast<int>(accepted_.size())));
    memo_->setTextCursor(cursor);
    restoring_ = false;
}
