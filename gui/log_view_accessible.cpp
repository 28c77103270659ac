#include "gui/log_view_accessible.h"

#include <QFontMetrics>
#include <algorithm>
#include <climits>

#include "gui/log_view.h"

namespace {

QAccessibleInterface* Create(const QString& className, QObject* object) {
    if (className == QLatin1String("LogView") && object->isWidgetType()) {
        return new LogViewAccessible(static_cast<LogView*>(object));
    }
    return nullptr;
}

int Clamp(int64_t value) { return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX)); }

bool ByLines(QAccessible::TextBoundaryType boundary) {
    return boundary == QAccessible::LineBoundary || boundary == QAccessible::ParagraphBoundary ||
           boundary == QAccessible::NoBoundary;
}

}  // namespace

void InstallLogViewAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(Create);
        return true;
    }();
    (void)installed;
}

LogViewAccessible::LogViewAccessible(LogView* view)
    : QAccessibleWidget(view, QAccessible::EditableText, QStringLiteral("Log")) {}

LogView* LogViewAccessible::View() const { return static_cast<LogView*>(widget()); }

void* LogViewAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State LogViewAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

QString LogViewAccessible::text(QAccessible::Text kind) const {
    if (kind == QAccessible::Name) return View()->accessibleName();
    if (kind == QAccessible::Value) return text(0, characterCount());
    return QAccessibleWidget::text(kind);
}

void LogViewAccessible::selection(int index, int* start, int* end) const {
    *start = *end = 0;
    if (index != 0 || View()->SelectionStart() < 0) return;
    *start = Clamp(View()->LineOffset(View()->SelectionStart()));
    *end = Clamp(View()->LineOffset(View()->SelectionEnd() + 1));
}

int LogViewAccessible::selectionCount() const { return View()->SelectionStart() >= 0 ? 1 : 0; }

void LogViewAccessible::addSelection(int start, int end) { setSelection(0, start, end); }

void LogViewAccessible::removeSelection(int index) {
    if (index == 0) View()->SelectLines(-1, -1);
}

void LogViewAccessible::setSelection(int index, int start, int end) {
    if (index != 0 || View()->LineCount() == 0) return;
    View()->SelectLines(View()->LineAtOffset(start),
                        View()->LineAtOffset(std::max(start, end - 1)));
}

int LogViewAccessible::cursorPosition() const {
    const int line = View()->SelectionEnd();
    return line < 0 ? 0 : Clamp(View()->LineOffset(line));
}

void LogViewAccessible::setCursorPosition(int position) {
    const int line = View()->LineAtOffset(position);
    if (line >= 0) View()->SelectLines(line, line);
}

QString LogViewAccessible::text(int start, int end) const {
    const LogView* view = View();
    start = std::max(start, 0);
    end = std::min<int64_t>(end, view->CharacterCount());
    if (start >= end) return {};
    QString out;
    for (int line = view->LineAtOffset(start); line >= 0 && line < view->LineCount(); ++line) {
        const int64_t from = view->LineOffset(line);
        if (from >= end) break;
        QString piece = view->LineText(line);
        if (line + 1 < view->LineCount()) piece += QLatin1Char('\n');
        const int64_t skip = std::max<int64_t>(0, start - from);
        const int64_t take = std::min<int64_t>(piece.size(), end - from) - skip;
        out += piece.mid(static_cast<qsizetype>(skip), static_cast<qsizetype>(take));
    }
    return out;
}

QString LogViewAccessible::LineRange(int line, int* start, int* end) const {
    *start = Clamp(View()->LineOffset(line));
    const QString text = View()->LineText(line);
    *end = *start + static_cast<int>(text.size());
    return text;
}

QString LogViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundary,
                                        int* start, int* end) const {
    const int line = View()->LineAtOffset(offset);
    if (!ByLines(boundary) || line < 0) {
        return QAccessibleTextInterface::textAtOffset(offset, boundary, start, end);
    }
    return LineRange(line, start, end);
}

QString LogViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary,
                                            int* start, int* end) const {
    const int line = View()->LineAtOffset(offset);
    if (!ByLines(boundary) || line < 0) {
        return QAccessibleTextInterface::textBeforeOffset(offset, boundary, start, end);
    }
    if (line == 0) {
        *start = *end = -1;
        return {};
    }
    return LineRange(line - 1, start, end);
}

QString LogViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundary,
                                           int* start, int* end) const {
    const int line = View()->LineAtOffset(offset);
    if (!ByLines(boundary) || line < 0) {
        return QAccessibleTextInterface::textAfterOffset(offset, boundary, start, end);
    }
    if (line + 1 >= View()->LineCount()) {
        *start = *end = -1;
        return {};
    }
    return LineRange(line + 1, start, end);
}

int LogViewAccessible::characterCount() const { return Clamp(View()->CharacterCount()); }

QRect LogViewAccessible::characterRect(int offset) const {
    const LogView* view = View();
    const int line = view->LineAtOffset(offset);
    if (line < 0) return {};
    const QFontMetrics metrics(view->LogFont());
    const QString text = view->LineText(line);
    const int column =
        std::clamp(offset - Clamp(view->LineOffset(line)), 0, static_cast<int>(text.size()));
    const QRect row = view->LineRect(line);
    const int x = LogView::kMargin + metrics.horizontalAdvance(text.left(column));
    const int width = column < text.size() ? metrics.horizontalAdvance(text.at(column)) : 1;
    const QPoint origin = view->viewport()->mapToGlobal(QPoint(0, 0));
    return QRect(origin.x() + x, origin.y() + row.top(), width, row.height());
}

int LogViewAccessible::offsetAtPoint(const QPoint& point) const {
    const LogView* view = View();
    const QPoint local = view->viewport()->mapFromGlobal(point);
    const int line = view->LineAt(local.y());
    if (line < 0) return -1;
    const QFontMetrics metrics(view->LogFont());
    const QString text = view->LineText(line);
    int column = 0;
    while (column < text.size() &&
           LogView::kMargin + metrics.horizontalAdvance(text.left(column + 1)) <= local.x())
        ++column;
    return Clamp(view->LineOffset(line) + column);
}

void LogViewAccessible::scrollToSubstring(int start, int) {
    const int line = View()->LineAtOffset(start);
    if (line >= 0) View()->ShowLine(line);
}

QString LogViewAccessible::attributes(int offset, int* start, int* end) const {
    const int line = View()->LineAtOffset(offset);
    if (line < 0) {
        *start = *end = 0;
        return {};
    }
    LineRange(line, start, end);
    const QColor colour = LogView::StyleColour(View()->LineStyle(line));
    return QStringLiteral("font-family:\"%1\";font-size:%2pt;color:rgb(%3,%4,%5);")
        .arg(View()->LogFont().family())
        .arg(View()->LogFont().pointSize())
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue());
}
