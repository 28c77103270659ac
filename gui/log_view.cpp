#include "gui/log_view.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "gui/log_view_accessible.h"

QColor LogView::StyleColour(LogStyle style) {
    switch (style) {
        case LogStyle::Basic:
            return QColor(0, 0, 128);
        case LogStyle::Error:
            return QColor(128, 0, 0);
        case LogStyle::Note:
            return QColor(0, 128, 128);
    }
    return QColor(0, 0, 128);
}

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent), font_(QStringLiteral("Arial")) {
    InstallLogViewAccessibility();
    font_.setPointSize(8);
    font_.setWeight(QFont::Normal);
    const QFontMetrics metrics(font_);
    lineHeight_ = metrics.lineSpacing();
    ascent_ = metrics.ascent();
    const QFontMetricsF exact(font_);
    for (std::size_t c = 32; c < asciiAdvance_.size(); ++c) {
        asciiAdvance_[c] = exact.horizontalAdvance(QChar(static_cast<char16_t>(c)));
    }
    offsets_.push_back(0);
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setLineWidth(1);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setCursor(Qt::IBeamCursor);
    setAccessibleName(QStringLiteral("Log"));

    copyAction_ = new QAction(QStringLiteral("&Copy"), this);
    copyAction_->setShortcut(QKeySequence::Copy);
    copyAction_->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction_, &QAction::triggered, this, &LogView::CopySelection);
    selectAllAction_ = new QAction(QStringLiteral("Select &All"), this);
    selectAllAction_->setShortcut(QKeySequence::SelectAll);
    selectAllAction_->setShortcutContext(Qt::WidgetShortcut);
    connect(selectAllAction_, &QAction::triggered, this, &LogView::SelectAll);
    addAction(copyAction_);
    addAction(selectAllAction_);
    UpdateScrollBars();
}

void LogView::AppendLogLine(const char* text, LogStyle style) {
    if (text == nullptr) return;
    if (!scrollPending_) {
        // Lines arriving close together move the scroll bars once: the
        // view follows the end if it was there before the first of them.
        scrollPending_ = true;
        followEnd_ = verticalScrollBar()->value() == verticalScrollBar()->maximum();
        QTimer::singleShot(kScrollDelayMs, this, &LogView::ApplyAppends);
    }
    lines_.push_back({std::string(text), style});
    const QString shown = QString::fromUtf8(text);
    offsets_.push_back(offsets_.back() + shown.size() + 1);
    widest_ = std::max(widest_, TextWidth(shown));
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent inserted(this, static_cast<int>(offsets_[offsets_.size() - 2]),
                                            shown + QLatin1Char('\n'));
        QAccessible::updateAccessibility(&inserted);
    }
}

int LogView::TextWidth(const QString& text) const {
    qreal width = 0;
    for (QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 32 || code >= asciiAdvance_.size())
            return QFontMetrics(font_).horizontalAdvance(text);
        width += asciiAdvance_[code];
    }
    // Kerning may make a line a little wider than its advances.
    return static_cast<int>(width) + 2;
}

void LogView::ApplyAppends() {
    scrollPending_ = false;
    UpdateScrollBars();
    if (followEnd_) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

QString LogView::LineText(int line) const {
    const std::string& text = lines_[static_cast<std::size_t>(line)].text;
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int LogView::VisibleLines() const {
    return std::max(1, (viewport()->height() - 2 * kMargin) / std::max(1, lineHeight_));
}

void LogView::UpdateScrollBars() {
    const int pages = VisibleLines();
    verticalScrollBar()->setRange(0, std::max(0, LineCount() - pages));
    verticalScrollBar()->setPageStep(pages);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(QFontMetrics(font_).averageCharWidth() * 4);
}

int LogView::FirstVisibleLine() const { return verticalScrollBar()->value(); }

QRect LogView::LineRect(int line) const {
    const int y = kMargin + (line - FirstVisibleLine()) * lineHeight_;
    return QRect(0, y, viewport()->width(), lineHeight_);
}

int LogView::LineAt(int y) const {
    if (LineCount() == 0) return -1;
    const int line = FirstVisibleLine() + (y - kMargin) / std::max(1, lineHeight_);
    return std::clamp(line, 0, LineCount() - 1);
}

void LogView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setFont(font_);
    const QRect area = event->rect();
    const int first = std::max(FirstVisibleLine(), LineAt(area.top()));
    const int last = std::min(LineCount() - 1, LineAt(area.bottom()));
    const int x = kMargin - horizontalScrollBar()->value();
    const int selFirst = SelectionStart();
    const int selLast = SelectionEnd();
    for (int line = first; line >= 0 && line <= last; ++line) {
        const QRect rect = LineRect(line);
        const bool selected = line >= selFirst && line <= selLast && selFirst >= 0;
        if (selected) {
            painter.fillRect(rect,
                             palette().brush(hasFocus() ? QPalette::Active : QPalette::Inactive,
                                             QPalette::Highlight));
            painter.setPen(palette().color(QPalette::HighlightedText));
        } else {
            painter.setPen(StyleColour(LineStyle(line)));
        }
        painter.drawText(QPoint(x, rect.top() + ascent_), LineText(line));
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
    if (atEnd) bar->setValue(bar->maximum());
}

int LogView::SelectionStart() const {
    return anchor_ < 0 || current_ < 0 ? -1 : std::min(anchor_, current_);
}

int LogView::SelectionEnd() const {
    return anchor_ < 0 || current_ < 0 ? -1 : std::max(anchor_, current_);
}

void LogView::SelectLines(int anchor, int current) {
    anchor_ = anchor;
    current_ = current;
    viewport()->update();
}

QString LogView::SelectedText() const {
    QString text;
    for (int line = SelectionStart(); line >= 0 && line <= SelectionEnd(); ++line) {
        text += LineText(line);
        text += QLatin1Char('\n');
    }
    return text;
}

void LogView::SelectAll() {
    if (LineCount() > 0) SelectLines(0, LineCount() - 1);
}

void LogView::CopySelection() const {
    if (SelectionStart() >= 0) QApplication::clipboard()->setText(SelectedText());
}

void LogView::ShowLine(int line) {
    QScrollBar* bar = verticalScrollBar();
    if (line < bar->value()) {
        bar->setValue(line);
    } else if (line >= bar->value() + VisibleLines()) {
        bar->setValue(line - VisibleLines() + 1);
    }
}

void LogView::MoveCurrent(int line, bool extend) {
    if (LineCount() == 0) return;
    line = std::clamp(line, 0, LineCount() - 1);
    if (!extend || anchor_ < 0) anchor_ = line;
    current_ = line;
    ShowLine(line);
    viewport()->update();
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int line = LineAt(static_cast<int>(event->position().y()));
    if (line >= 0) MoveCurrent(line, event->modifiers() & Qt::ShiftModifier);
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    const int line = LineAt(static_cast<int>(event->position().y()));
    if (line >= 0) MoveCurrent(line, true);
}

void LogView::keyPressEvent(QKeyEvent* event) {
    // Also here, not only as the actions' shortcuts: those wait for the
    // window to be active.
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const int from = current_ >= 0 ? current_ : FirstVisibleLine();
    switch (event->key()) {
        case Qt::Key_Up:
            MoveCurrent(from - 1, extend);
            break;
        case Qt::Key_Down:
            MoveCurrent(from + 1, extend);
            break;
        case Qt::Key_PageUp:
            MoveCurrent(from - VisibleLines(), extend);
            break;
        case Qt::Key_PageDown:
            MoveCurrent(from + VisibleLines(), extend);
            break;
        case Qt::Key_Home:
            MoveCurrent(0, extend);
            break;
        case Qt::Key_End:
            MoveCurrent(LineCount() - 1, extend);
            break;
        default:
            QAbstractScrollArea::keyPressEvent(event);
            return;
    }
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    copyAction_->setEnabled(SelectionStart() >= 0);
    menu.addAction(copyAction_);
    menu.addAction(selectAllAction_);
    menu.exec(event->globalPos());
    copyAction_->setEnabled(true);
}

int64_t LogView::LineOffset(int line) const { return offsets_[static_cast<std::size_t>(line)]; }

int64_t LogView::CharacterCount() const {
    // The last line has no line break after it.
    return LineCount() == 0 ? 0 : offsets_.back() - 1;
}

int LogView::LineAtOffset(int64_t offset) const {
    if (LineCount() == 0) return -1;
    auto after = std::upper_bound(offsets_.begin(), offsets_.end() - 1, offset);
    return std::clamp(static_cast<int>(after - offsets_.begin()) - 1, 0, LineCount() - 1);
}
