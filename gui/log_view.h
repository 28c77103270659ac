// LogView: the owner's log. Every line is one paragraph in one of the
// three text styles (Arial 8 pt; navy, maroon or teal), appended at the
// end; lines are never removed and their number is not limited.
//
// A view of its own rather than a QPlainTextEdit: the text document keeps
// a laid-out paragraph (about 700 bytes) for every line that was ever
// shown and lays out each new line as it arrives, while this view keeps
// each line's text and style (under 200 bytes) and lays out only the lines
// it paints. Lines can be selected (mouse, Shift and the arrow keys,
// Ctrl+A) and copied (Ctrl+C, context menu); screen readers see a
// read-only text whose lines are its paragraphs.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/server_control.h"

class QAction;

class LogView : public QAbstractScrollArea, public ServerLog {
    Q_OBJECT
public:
    // Space around the lines, as the designed view has it.
    static constexpr int kMargin = 5;

    explicit LogView(QWidget* parent = nullptr);

    // Appends `text` (UTF-8) as one line in `style`; keeps the view at the
    // end when it was there. GUI thread.
    void AppendLogLine(const char* text, LogStyle style) override;

    int LineCount() const { return static_cast<int>(lines_.size()); }
    QString LineText(int line) const;
    LogStyle LineStyle(int line) const { return lines_[static_cast<std::size_t>(line)].style; }
    // The font and colour of the log's styles.
    const QFont& LogFont() const { return font_; }
    static QColor StyleColour(LogStyle style);

    // The selected lines, first and last (both -1 when none).
    int SelectionStart() const;
    int SelectionEnd() const;
    // Selects lines first..last (in either order), -1 for none.
    void SelectLines(int anchor, int current);
    // The selected lines, each followed by a line break.
    QString SelectedText() const;
    void SelectAll();
    void CopySelection() const;

    // For accessibility: the offset (in UTF-16 characters, lines joined by
    // one line break) where a line begins, and the line of an offset.
    int64_t LineOffset(int line) const;
    int LineAtOffset(int64_t offset) const;
    int64_t CharacterCount() const;
    // The first line shown, and the line at a point of the viewport (-1
    // when none).
    int FirstVisibleLine() const;
    int LineAt(int y) const;
    // The viewport rectangle of a line.
    QRect LineRect(int line) const;
    // Scrolls so that the line is shown.
    void ShowLine(int line);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Line {
        std::string text;
        LogStyle style;
    };

    void UpdateScrollBars();
    // Moves the scroll bars and paints for the lines appended since the
    // last time.
    void ApplyAppends();
    // The width of a line in the log's font.
    int TextWidth(const QString& text) const;
    int VisibleLines() const;
    void MoveCurrent(int line, bool extend);

    std::vector<Line> lines_;
    // Where each line starts in the text as accessibility sees it.
    std::vector<int64_t> offsets_;
    QFont font_;
    int lineHeight_ = 0;
    int ascent_ = 0;
    int widest_ = 0;
    // Appends not yet shown by the scroll bars, and whether the view was
    // at the end before them.
    static constexpr int kScrollDelayMs = 50;
    bool scrollPending_ = false;
    bool followEnd_ = true;
    // Advances of the ASCII characters: nearly every line is ASCII, and
    // adding up advances is far cheaper than shaping the line.
    std::array<qreal, 128> asciiAdvance_{};
    int anchor_ = -1;
    int current_ = -1;
    QAction* copyAction_;
    QAction* selectAllAction_;
};
