// StatusPanel: the status line. Its text is a label inside a panel that
// has no layout, so that a new text (at every login and logout) never
// makes the window lay itself out again: the status bar gives the panel
// the room there is, and the label takes all of it.
#pragma once

#include <QLabel>
#include <QWidget>

class StatusPanel : public QWidget {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    QLabel* Label() const { return label_; }
    void SetText(const QString& text) { label_->setText(text); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* label_;
};
