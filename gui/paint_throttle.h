// PaintThrottle: paints a window at most once per interval. A session
// that reports to the window waits until its event is handled, and the
// window thread handles it only after any paint already under way; with a
// paint after every event, a busy server's sessions would each wait for
// one. Deferred paints show the latest state, a fraction of a second
// later at most.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class PaintThrottle : public QObject {
    Q_OBJECT
public:
    // Throttles the top-level `window`'s paints; owned by it.
    PaintThrottle(QWidget* window, int intervalMs);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PaintNow();

    QWidget* window_;
    const int intervalMs_;
    QElapsedTimer sincePaint_;
    QTimer deferred_;
    bool painting_ = false;
};
