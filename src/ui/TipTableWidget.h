#ifndef PSM_TIPTABLEWIDGET_H
#define PSM_TIPTABLEWIDGET_H

#include <QTableWidget>

// A table that shows the whole text of a cell as a tooltip when the mouse
// enters a cell too narrow for it.
class TipTableWidget : public QTableWidget
{
    Q_OBJECT

public:
    explicit TipTableWidget(QWidget* parent = nullptr);

    // The tooltip a cell gets: its text when it does not fit its column.
    QString tipFor(const QTableWidgetItem* item) const;

public slots:
    void slotItemEnter(QTableWidgetItem* item);
};

#endif // PSM_TIPTABLEWIDGET_H
