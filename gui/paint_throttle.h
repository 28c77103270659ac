// PaintThrottle: paints a window at most once per interval. While events
// stream in, a paint after every one would keep the window thread (and the
// display server) busy on the CPUs the sessions need. Deferred paints show
// the latest state, a fraction of a second later at most.
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
