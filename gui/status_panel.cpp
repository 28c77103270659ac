#include "gui/status_panel.h"

#include <QResizeEvent>

StatusPanel::StatusPanel(QWidget* parent) : QWidget(parent), label_(new QLabel(this)) {
    // No accessible name of its own: a label without one is named by its
    // text, so a screen reader reads the line itself and hears each change.
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize StatusPanel::sizeHint() const { return QSize(0, fontMetrics().height() + 2); }

QSize StatusPanel::minimumSizeHint() const { return sizeHint(); }

void StatusPanel::resizeEvent(QResizeEvent* event) {
    label_->setGeometry(QRect(QPoint(0, 0), event->size()));
}
