#include "app/QMyItemDelegate.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>

#include "kit/UnsafeText.h"

void QMyItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                            const QModelIndex &index) const
{
    QStyleOptionViewItem plain(option);
    plain.state &= ~QStyle::State_HasFocus;
    QStyledItemDelegate::paint(painter, plain, index);
}

QString QMyItemDelegate::displayText(const QVariant &value, const QLocale &locale) const
{
    // The base class shows a line feed as a line break: texts get the marks instead.
    if (value.userType() == QMetaType::QString)
        return VisibleCellText(value.toString());
    return QStyledItemDelegate::displayText(value, locale);
}

bool QMyItemDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                                const QModelIndex &index)
{
    if (!event || event->type() != QEvent::ToolTip || !view || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString tip = index.data(Qt::ToolTipRole).toString();
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    // The cell's rectangle is in the viewport's coordinates: leaving it hides the tip.
    QToolTip::showText(event->globalPos(), ToolTipHtml(tip), view->viewport(), view->visualRect(index));
    return true;
}

QString ToolTipHtml(const QString &plain)
{
    // Lines break only at blanks: a serial number such as "BR-2023-0001" or an
    // address with its MAC after it stays whole; device text is escaped, so it is
    // never taken for markup.
    QStringList lines;
    for (const QString &line : plain.split(QLatin1Char('\n'))) {
        QStringList words = line.split(QLatin1Char(' '));
        for (QString &word : words)
            if (!word.isEmpty())
                word = QStringLiteral("<nobr>") + word.toHtmlEscaped() + QStringLiteral("</nobr>");
        lines << words.join(QLatin1Char(' '));
    }
    return QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</qt>");
}

QString VisibleCellText(const QString &text)
{
    // Nearly every cell is clean: looked at once, returned shared.
    const auto unsafe = [](char32_t c) { return Vant::IsUnsafeCodePoint(c); };
    bool clean = true;
    for (const QChar c : text)
        if (unsafe(c.unicode())) {
            clean = false;
            break;
        }
    if (clean)
        return text;

    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode(); // every unsafe code point lies in the BMP
        if (!unsafe(u))
            shown += c;
        else if (u < 0x20)
            shown += QChar(0x2400 + u);
        else if (u == 0x7f)
            shown += QChar(0x2421);
        else if (u == 0x2028 || u == 0x2029)
            shown += QChar(0x2424);
        else
            shown += QChar(QChar::ReplacementCharacter);
    }
    return shown;
}
