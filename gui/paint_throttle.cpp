#include "gui/paint_throttle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

PaintThrottle::PaintThrottle(QWidget* window, int intervalMs)
    : QObject(window), window_(window), intervalMs_(intervalMs) {
    deferred_.setSingleShot(true);
    connect(&deferred_, &QTimer::timeout, this, &PaintThrottle::PaintNow);
    window->installEventFilter(this);
}

bool PaintThrottle::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_ || event->type() != QEvent::UpdateRequest || painting_) return false;
    if (sincePaint_.isValid() && sincePaint_.elapsed() < intervalMs_) {
        // The window keeps what needs painting; it is painted when due.
        if (!deferred_.isActive())
            deferred_.start(intervalMs_ - static_cast<int>(sincePaint_.elapsed()));
        return true;
    }
    sincePaint_.start();
    return false;
}

void PaintThrottle::PaintNow() {
    sincePaint_.start();
    painting_ = true;
    QEvent paint(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window_, &paint);
    painting_ = false;
}
