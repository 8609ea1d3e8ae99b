#include "ui/ActivityLabel.h"

#include <QMouseEvent>

void ActivityLabel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit clicked();
    }
}
