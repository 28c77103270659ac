// What screen readers and UI automation see of the log: a read-only text
// whose lines are its paragraphs, with the selected lines as its selection.
#pragma once

#include <QAccessibleWidget>

class LogView;

class LogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LogViewAccessible(LogView* view);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text kind) const override;

    // QAccessibleTextInterface, in UTF-16 offsets over the lines joined by
    // line breaks.
    void selection(int index, int* start, int* end) const override;
    int selectionCount() const override;
    void addSelection(int start, int end) override;
    void removeSelection(int index) override;
    void setSelection(int index, int start, int end) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int start, int end) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                         int* end) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                             int* end) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                            int* end) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int start, int end) override;
    QString attributes(int offset, int* start, int* end) const override;

private:
    LogView* View() const;
    // The line of `line` as a text range (without its line break).
    QString LineRange(int line, int* start, int* end) const;
};

// Makes every LogView answer with a LogViewAccessible. Idempotent.
void InstallLogViewAccessibility();
