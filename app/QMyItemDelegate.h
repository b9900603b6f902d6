#pragma once
// Paints table cells without the focus frame, so the current row shows only as selected.
#include <QStyledItemDelegate>

class QMyItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
