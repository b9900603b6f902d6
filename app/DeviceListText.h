#pragma once
// The device table as text for other programs: one row for the clipboard, the whole
// list as a CSV file.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

class QAbstractItemModel;

namespace DeviceListText {

// The nine cells of `row` as displayed (a cell a spreadsheet would take for a
// formula led by an apostrophe: device/CsvField.h), separated by tabs.
QString RowText(const QAbstractItemModel &model, int row);

// A UTF-8 byte-order mark, the header of the nine Chinese column titles, then every
// row (DHCP as "启用"/"禁用", whatever the window's language) in
// the model's order (fields as CsvField writes them), each line ending in CR LF.
QByteArray Csv(const QAbstractItemModel &model);
// The same for the model's `rows` only, in the order given (the rows a filter shows).
QByteArray Csv(const QAbstractItemModel &model, const QVector<int> &rows);
// The same layout for lines of cells given here (the first is the header).
QByteArray CsvDocument(const std::vector<QStringList> &lines);

// "brenu-devices-YYYYMMDD-HHMMSS.csv" for the local time `when`.
QString ExportFileName(const QDateTime &when);

} // namespace DeviceListText
