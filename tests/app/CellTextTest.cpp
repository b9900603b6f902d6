// What a table cell shows of device text: every character that changes how the text
// around it reads becomes a visible mark; the model keeps the exact text.
#include <gtest/gtest.h>

#include <QStandardItemModel>
#include <QTextDocument>

#include "app/QMyItemDelegate.h"
#include "QtPrinters.h"

namespace {

TEST(CellTextTest, ControlsLineBreaksAndBidiBecomeVisibleMarks)
{
    EXPECT_EQ(VisibleCellText(QStringLiteral("仓库 A-1 (x)")), QStringLiteral("仓库 A-1 (x)")) << "clean text unchanged";
    EXPECT_EQ(VisibleCellText(QString::fromUtf8("a\nb\rc\td\x1b[2Je\x7f")), QString::fromUtf8("a␊b␍c␉d␛[2Je␡"));
    EXPECT_EQ(VisibleCellText(QString::fromUtf8("one\u2028two\u2029")), QString::fromUtf8("one␤two␤"));
    EXPECT_EQ(VisibleCellText(QString::fromUtf8("gpj.\u202Eexe \u2066x\u2069 \u200F\u061C \xC2\x9B")),
              QString::fromUtf8("gpj.\uFFFDexe \uFFFDx\uFFFD \uFFFD\uFFFD \uFFFD"));
    EXPECT_EQ(VisibleCellText(QString::fromUtf8("\u00A0é😀\u200B")), QString::fromUtf8("\u00A0é😀\u200B"))
        << "printable and astral characters stay";
    EXPECT_EQ(VisibleCellText(QString(QChar(0))), QString::fromUtf8("␀"));
}

TEST(CellTextTest, TheDelegateShowsMarksWhileTheModelKeepsTheText)
{
    const QString exact = QString::fromUtf8("SN-1\nSN-2\u202E");
    QStandardItemModel model;
    model.appendRow(new QStandardItem(exact));
    const QModelIndex cell = model.index(0, 0);
    QMyItemDelegate delegate;
    EXPECT_EQ(delegate.displayText(cell.data(), QLocale()), QString::fromUtf8("SN-1␊SN-2\uFFFD"));
    EXPECT_EQ(cell.data().toString(), exact);
    const QStyledItemDelegate plain;
    EXPECT_EQ(delegate.displayText(QVariant(8001), QLocale()), plain.displayText(QVariant(8001), QLocale()))
        << "numbers as before";
}

// A tooltip wraps between names, never at the hyphens inside one, and device text in
// it stays text.
TEST(CellTextTest, TooltipsWrapOnlyBetweenWords)
{
    const QString html = ToolTipHtml(QStringLiteral("Address conflict: BR-2023-0001, <b>X\n2nd line"));
    EXPECT_TRUE(Qt::mightBeRichText(html));
    EXPECT_TRUE(html.contains(QStringLiteral("<nobr>BR-2023-0001,</nobr> <nobr>&lt;b&gt;X</nobr><br>")))
        << html.toStdString();
    QTextDocument document;
    document.setHtml(html);
    EXPECT_EQ(document.toPlainText(), QStringLiteral("Address conflict: BR-2023-0001, <b>X\n2nd line"));
}

} // namespace
