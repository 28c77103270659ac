// LogView: the owner's log. Every line is one paragraph in one of the
// three text styles (Arial 8 pt; navy, maroon or teal), appended at the
// end; lines are never removed. A read-only QPlainTextEdit, whose layout
// handles long logs by laying out only what is appended and shown.
#pragma once

#include <QPlainTextEdit>
#include <QTextCharFormat>

#include <array>

#include "engine/server_control.h"

class LogView : public QPlainTextEdit, public ServerLog {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);

    // Appends `text` (UTF-8) as one line in `style`; keeps the view at the
    // end when it was there. GUI thread.
    void AppendLogLine(const char* text, LogStyle style) override;

    // The text format of a style (its font and colour).
    const QTextCharFormat& StyleFormat(LogStyle style) const;

private:
    std::array<QTextCharFormat, 3> formats_;
    bool empty_ = true;
};
