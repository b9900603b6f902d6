#include "app/DeviceFilter.h"

#include <QHeaderView>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QTableView>

#include "app/DeviceTable.h"

namespace {

// The columns the filter looks at.
constexpr int kFilterColumns[] = {DeviceTable::ColSerialNo, DeviceTable::ColAddress, DeviceTable::ColMac,
                                  DeviceTable::ColDescription};

bool IsFilterColumn(int column)
{
    for (int each : kFilterColumns)
        if (each == column)
            return true;
    return false;
}

} // namespace

DeviceFilter::DeviceFilter(QStandardItemModel *model, QTableView *view, QObject *parent)
    : QObject(parent), m_model(model), m_view(view)
{
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        m_hidden = 0;
        m_haystacks.clear();
        m_numbersStale = true;
    });
}

void DeviceFilter::Follow(bool follow)
{
    // Without a filter the model's notices are not listened to at all: a search round
    // changes tens of thousands of cells.
    for (const QMetaObject::Connection &connection : m_following)
        disconnect(connection);
    m_following.clear();
    if (!follow)
        return;
    m_following << connect(m_model, &QAbstractItemModel::rowsInserted, this,
                           [this](const QModelIndex &parent, int first, int last) {
                               if (parent.isValid())
                                   return;
                               if (static_cast<size_t>(first) <= m_haystacks.size())
                                   m_haystacks.insert(m_haystacks.begin() + first,
                                                      static_cast<size_t>(last - first + 1), QString());
                               CheckRows(first, last);
                           });
    m_following << connect(
        m_model, &QAbstractItemModel::dataChanged, this,
        [this](const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles) {
            if (topLeft.parent().isValid())
                return;
            if (!roles.isEmpty() && !roles.contains(Qt::DisplayRole))
                return; // a look change (colour, tooltip, icon), not a text
            bool texts = false;
            for (int column = topLeft.column(); column <= bottomRight.column() && !texts; ++column)
                texts = IsFilterColumn(column);
            if (texts)
                CheckRows(topLeft.row(), bottomRight.row());
        });
    // A sort moves the rows' contents; rows that go shift the rest: each row's text and
    // state are taken again.
    const auto again = [this] {
        RebuildHaystacks();
        Reapply(Scope::All);
    };
    m_following << connect(m_model, &QAbstractItemModel::layoutChanged, this, again);
    m_following << connect(m_model, &QAbstractItemModel::rowsRemoved, this, again);
}

void DeviceFilter::SetText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    // A key typed at the end narrows: only the rows shown can change. A key taken back
    // widens: only the hidden ones can.
    Scope scope = Scope::All;
    if (!m_text.isEmpty() && trimmed.contains(m_text, Qt::CaseInsensitive))
        scope = Scope::Shown;
    else if (!trimmed.isEmpty() && m_text.contains(trimmed, Qt::CaseInsensitive))
        scope = Scope::Hidden;
    if (m_text.isEmpty() != trimmed.isEmpty())
        Follow(!trimmed.isEmpty());
    if (m_text.isEmpty() || trimmed.isEmpty())
        m_haystacks.clear();
    m_text = trimmed;
    m_folded = trimmed.toCaseFolded();
    if (!m_text.isEmpty() && m_haystacks.empty())
        RebuildHaystacks();
    Reapply(scope);
}

QString DeviceFilter::Haystack(int row) const
{
    QString text;
    text.reserve(96);
    for (int column : kFilterColumns) {
        if (const QStandardItem *cell = m_model->item(row, column))
            text += cell->text();
        text += QLatin1Char('\n');
    }
    return std::move(text).toCaseFolded();
}

void DeviceFilter::RebuildHaystacks()
{
    const int rows = m_model->rowCount();
    m_haystacks.assign(static_cast<size_t>(rows), QString());
    for (int row = 0; row < rows; ++row)
        m_haystacks[static_cast<size_t>(row)] = Haystack(row);
}

bool DeviceFilter::Matches(int row) const
{
    if (m_text.isEmpty())
        return true;
    // A line feed cannot be typed into the box, so a match never spans two cells.
    if (row >= 0 && static_cast<size_t>(row) < m_haystacks.size())
        return m_haystacks[static_cast<size_t>(row)].contains(m_folded);
    return Haystack(row).contains(m_folded);
}

bool DeviceFilter::Apply(int row)
{
    const bool hide = !Matches(row);
    if (m_view->isRowHidden(row) == hide)
        return false;
    m_view->setRowHidden(row, hide);
    m_hidden += hide ? 1 : -1;
    m_numbersStale = true;
    return true;
}

void DeviceFilter::CheckRows(int first, int last)
{
    for (int row = first; row <= last && static_cast<size_t>(row) < m_haystacks.size(); ++row)
        m_haystacks[static_cast<size_t>(row)] = Haystack(row);
    bool changed = false;
    for (int row = first; row <= last; ++row)
        changed = Apply(row) || changed;
    if (changed)
        emit shownChanged();
}

void DeviceFilter::Reapply(Scope scope)
{
    const int rows = m_model->rowCount();
    QHeaderView *header = m_view->verticalHeader();
    bool changed = false;
    if (scope == Scope::All)
        m_hidden = 0;
    m_numbersStale = true;
    {
        // Each hidden or shown row would have the view lay out and repaint its rows
        // anew, and the header find the row's position (a walk over all rows after
        // each change, so a square of the rows in all); with the header's signals and
        // updates held the rows are laid out once below.
        const QSignalBlocker quiet(header);
        header->setUpdatesEnabled(false);
        for (int row = 0; row < rows; ++row) {
            const bool hidden = m_view->isRowHidden(row);
            if ((scope == Scope::Shown && hidden) || (scope == Scope::Hidden && !hidden))
                continue;
            const bool hide = !Matches(row);
            if (scope == Scope::All)
                m_hidden += hide ? 1 : 0;
            else if (hide != hidden)
                m_hidden += hide ? 1 : -1;
            if (hidden != hide) {
                m_view->setRowHidden(row, hide);
                changed = true;
            }
        }
        header->setUpdatesEnabled(true);
    }
    if (changed) {
        QMetaObject::invokeMethod(m_view, "updateGeometries");
        m_view->viewport()->update();
        // The current row, if now hidden, is no longer what the keyboard acts on.
        const QModelIndex current = m_view->currentIndex();
        if (current.isValid() && m_view->isRowHidden(current.row())) {
            m_view->clearSelection();
            m_view->setCurrentIndex(QModelIndex());
        }
    }
    emit shownChanged();
}

int DeviceFilter::ShownCount() const
{
    return m_model->rowCount() - m_hidden;
}

bool DeviceFilter::IsShown(int row) const
{
    return row >= 0 && row < m_model->rowCount() && !m_view->isRowHidden(row);
}

int DeviceFilter::RowNumber(int row) const
{
    if (m_hidden == 0)
        return row + 1;
    const int rows = m_model->rowCount();
    if (m_numbersStale || m_numbers.size() != static_cast<size_t>(rows)) {
        m_numbers.assign(static_cast<size_t>(rows), 0);
        int shown = 0;
        for (int each = 0; each < rows; ++each)
            m_numbers[static_cast<size_t>(each)] = m_view->isRowHidden(each) ? 0 : ++shown;
        m_numbersStale = false;
    }
    return row >= 0 && row < rows ? m_numbers[static_cast<size_t>(row)] : row + 1;
}

QVector<int> DeviceFilter::ShownRows() const
{
    QVector<int> rows;
    const int count = m_model->rowCount();
    rows.reserve(ShownCount());
    for (int row = 0; row < count; ++row)
        if (!m_view->isRowHidden(row))
            rows.append(row);
    return rows;
}
