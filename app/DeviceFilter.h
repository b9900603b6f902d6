#pragma once
// The filter of the device table: rows whose serial number, address, MAC address or
// description do not contain the filter text (case-insensitive) are hidden in the
// view; the rest stay where they are, in the table's order.
//
// Rows are hidden in the view rather than through a proxy model: the window, its
// actions and DeviceRowIndex keep addressing the model's rows directly, and a proxy
// model answers every row appended at the end (each new device) by rebuilding its
// whole row map, which at the table's row bound costs seconds per search round.
// Here a new row, or a row whose text changed, is checked alone; a new filter text or
// a sort looks at every row once, changing only the rows whose state changes, with the
// view's header kept quiet meanwhile and laid out once afterwards.
#include <QObject>
#include <QString>
#include <QVector>

#include <vector>

class QStandardItemModel;
class QTableView;

class DeviceFilter : public QObject {
    Q_OBJECT
public:
    // Follows `model` as `view` shows it (both outlive the filter).
    DeviceFilter(QStandardItemModel *model, QTableView *view, QObject *parent = nullptr);

    // Applies a new filter text (leading and trailing blanks ignored; empty shows every row).
    void SetText(const QString &text);
    QString Text() const { return m_text; }
    bool Active() const { return !m_text.isEmpty(); }
    // Whether the row's cells contain the filter text.
    bool Matches(int row) const;
    // Rows shown, and the model's rows in the order shown.
    int ShownCount() const;
    QVector<int> ShownRows() const;
    bool IsShown(int row) const;
    // The number the row shows at the left: its place among the rows shown (1 for the
    // first), or row + 1 without a filter.
    int RowNumber(int row) const;

signals:
    // Rows were hidden or shown by a new text, a sort or changed cells (a new row
    // that is shown raises no signal: whoever adds it knows).
    void shownChanged();

private:
    // Which rows a new text can change.
    enum class Scope { All, Shown, Hidden };
    void Reapply(Scope scope);
    // Listens to the model's row and cell notices (only while a filter is set).
    void Follow(bool follow);
    void CheckRows(int first, int last);
    // Shows or hides `row` as Matches says; true when its state changed.
    bool Apply(int row);

    // The case-folded text of the filter columns of `row`, fields apart by a line feed.
    QString Haystack(int row) const;
    void RebuildHaystacks();

    QStandardItemModel *m_model;
    QTableView *m_view;
    QString m_text;
    QString m_folded; // m_text case-folded
    int m_hidden = 0;
    // While a filter is set, each row's Haystack (built when the filter is set, kept up
    // to date with the rows): a key then compares prepared text, not the cells' texts
    // read, copied and folded for every row.
    std::vector<QString> m_haystacks;
    QVector<QMetaObject::Connection> m_following;
    // RowNumber's numbers by model row, made again when first asked after any row was
    // hidden or shown (the header asks for the rows it paints, a few dozen at a time).
    mutable std::vector<int> m_numbers;
    mutable bool m_numbersStale = true;
};
