#pragma once
// Paints table cells without the focus frame, so the current row shows only as
// selected, and shows device text safely: a cell's displayed text has every
// character that would change how the text around it reads (kit/UnsafeText.h)
// replaced by a visible mark (VisibleCellText), and tooltips as plain text. The model
// keeps the exact text for copying, export and the settings dialog.
#include <QStyledItemDelegate>

class QMyItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QString displayText(const QVariant &value, const QLocale &locale) const override;
    // Shows a cell's tooltip as plain text: device text in it (a serial number such as
    // "<h1>...") never makes Qt take the tooltip for rich text.
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;
};

// A plain-text tooltip as rich text that wraps only between words (at blanks, never at
// the hyphens or slashes inside a serial number), every character shown as written.
QString ToolTipHtml(const QString &plain);

// The text with each unsafe code point replaced by one visible mark: the C0 controls
// and DEL by their Control Pictures (U+2400-U+241F, U+2421: a line feed shows as
// "␊", so one row never looks like two), the line and paragraph separators by "␤"
// (U+2424), and the C1 and bidirectional controls, which have no picture, by the
// replacement character "�" (U+FFFD), so a reversed run cannot disguise a text.
QString VisibleCellText(const QString &text);
