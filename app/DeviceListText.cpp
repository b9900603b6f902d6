#include "app/DeviceListText.h"

#include <QAbstractItemModel>
#include <QStringList>

#include "device/ColumnTitles.h"
#include "device/CsvField.h"
#include "app/DeviceTable.h"

namespace DeviceListText {

namespace {

// The cells as shown (Qt::DisplayRole), or as stored (Qt::EditRole: the DHCP cell's
// "启用"/"禁用" in every language).
QStringList Cells(const QAbstractItemModel &model, int row, int role)
{
    QStringList cells;
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        cells.append(model.index(row, column).data(role).toString());
    return cells;
}

QString CsvLine(const QStringList &cells)
{
    QStringList fields;
    for (const QString &cell : cells)
        fields.append(CsvField(cell));
    return fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

} // namespace

QString RowText(const QAbstractItemModel &model, int row)
{
    QStringList cells = Cells(model, row, Qt::DisplayRole);
    for (QString &cell : cells)
        cell = SpreadsheetText(cell);
    return cells.join(QLatin1Char('\t'));
}

QByteArray Csv(const QAbstractItemModel &model)
{
    QVector<int> rows(model.rowCount());
    for (int row = 0; row < rows.size(); ++row)
        rows[row] = row;
    return Csv(model, rows);
}

QByteArray Csv(const QAbstractItemModel &model, const QVector<int> &rows)
{
    std::vector<QStringList> lines(1);
    for (int column = 0; column < DeviceTable::ColumnCount; ++column)
        lines[0].append(DeviceColumnTitle(column));
    for (int row : rows)
        lines.push_back(Cells(model, row, Qt::EditRole));
    return CsvDocument(lines);
}

QByteArray CsvDocument(const std::vector<QStringList> &lines)
{
    QString text;
    for (const QStringList &cells : lines)
        text += CsvLine(cells);
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

QString ExportFileName(const QDateTime &when)
{
    return QStringLiteral("brenu-devices-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".csv");
}

} // namespace DeviceListText
