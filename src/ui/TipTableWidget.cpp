#include "ui/TipTableWidget.h"

#include <QCursor>
#include <QFontMetrics>
#include <QToolTip>

TipTableWidget::TipTableWidget(QWidget* parent)
    : QTableWidget(parent)
{
    setMouseTracking(true);
    connect(this, &QTableWidget::itemEntered, this, &TipTableWidget::slotItemEnter);
}

QString TipTableWidget::tipFor(const QTableWidgetItem* item) const
{
    if (!item) {
        return QString();
    }
    const int textWidth = QFontMetrics(item->font()).horizontalAdvance(item->text());
    return textWidth > columnWidth(item->column()) ? item->text() : QString();
}

void TipTableWidget::slotItemEnter(QTableWidgetItem* item)
{
    if (QToolTip::isVisible()) {
        QToolTip::hideText();
    }
    const QString tip = tipFor(item);
    if (!tip.isEmpty()) {
        QToolTip::showText(QCursor::pos(), tip, this);
    }
}
