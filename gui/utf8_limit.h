// Byte limits of the record texts, applied where the owner types: a field
// accepts at most as many bytes of UTF-8 as its record holds, so nothing
// is ever cut, let alone in the middle of a character.
#pragma once

#include <QPlainTextEdit>
#include <QStyledItemDelegate>
#include <QValidator>

// Refuses any text whose UTF-8 form is longer than `maxBytes`.
class Utf8LengthValidator : public QValidator {
    Q_OBJECT
public:
    Utf8LengthValidator(int maxBytes, QObject* parent);
    State validate(QString& input, int& position) const override;

private:
    const int maxBytes_;
};

// The in-place editor of a list entry with such a limit.
class Utf8LimitDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    Utf8LimitDelegate(int maxBytes, QObject* parent);
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;

private:
    const int maxBytes_;
};

// Keeps a multi-line field within `maxBytes` of its stored form (lines
// joined by CR LF): an edit that would pass the limit is undone.
class Utf8MemoLimit : public QObject {
    Q_OBJECT
public:
    Utf8MemoLimit(QPlainTextEdit* memo, int maxBytes);

    // The memo's text as it is stored: lines joined by CR LF.
    static QByteArray StoredForm(const QString& text);

private:
    void Check();

    QPlainTextEdit* memo_;
    const int maxBytes_;
    QString accepted_;
    bool restoring_ = false;
};
