#ifndef PSM_NOFOCUSDELEGATE_H
#define PSM_NOFOCUSDELEGATE_H

#include <QStyledItemDelegate>

// Paints items without the dotted focus frame: the toner table is display
// only, and a focus frame around a level would look like a selection.
class NoFocusDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

#endif // PSM_NOFOCUSDELEGATE_H
