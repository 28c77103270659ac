#include "gui/log_view.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QTextCharFormat StyleOf(QColor colour) {
    QTextCharFormat format;
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(8);
    font.setWeight(QFont::Normal);
    format.setFont(font);
    format.setForeground(colour);
    return format;
}

std::size_t IndexOf(LogStyle style) {
    switch (style) {
        case LogStyle::Basic: return 0;
        case LogStyle::Error: return 1;
        case LogStyle::Note: return 2;
    }
    return 0;
}

}  // namespace

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
    formats_[0] = StyleOf(QColor(0, 0, 128));
    formats_[1] = StyleOf(QColor(128, 0, 0));
    formats_[2] = StyleOf(QColor(0, 128, 128));
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setLineWidth(1);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document()->setDocumentMargin(5);
    setCurrentCharFormat(formats_[0]);
    setAccessibleName(tr("Log"));
}

const QTextCharFormat& LogView::StyleFormat(LogStyle style) const {
    return formats_[IndexOf(style)];
}

void LogView::AppendLogLine(const char* text, LogStyle style) {
    if (text == nullptr) return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    const QTextCharFormat& format = StyleFormat(style);
    if (!empty_) {
        QTextBlockFormat paragraph;
        paragraph.setAlignment(Qt::AlignLeft);
        cursor.insertBlock(paragraph, format);
    }
    empty_ = false;
    cursor.insertText(QString::fromUtf8(text), format);
    if (atEnd) bar->setValue(bar->maximum());
}
