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
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent, int first, int last) {
        if (!parent.isValid() && Active())
            CheckRows(first, last);
    });
    connect(m_model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles) {
                if (!Active() || topLeft.parent().isValid())
                    return;
                if (!roles.isEmpty() && !roles.contains(Qt::DisplayRole))
                    return; // a look change (colour, tooltip, icon), not a text
                bool texts = false;
                for (int column = topLeft.column(); column <= bottomRight.column() && !texts; ++column)
                    texts = IsFilterColumn(column);
                if (texts)
                    CheckRows(topLeft.row(), bottomRight.row());
            });
    // A sort moves the rows' contents; the view's hidden rows do not follow them.
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] {
        if (Active())
            Reapply();
    });
    // Rows that go take their hidden state with them; the count is taken again.
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (Active())
            Reapply();
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { m_hidden = 0; });
}

void DeviceFilter::SetText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    m_text = trimmed;
    Reapply();
}

bool DeviceFilter::Matches(int row) const
{
    if (m_text.isEmpty())
        return true;
    for (int column : kFilterColumns) {
        const QStandardItem *cell = m_model->item(row, column);
        if (cell && cell->text().contains(m_text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool DeviceFilter::Apply(int row)
{
    const bool hide = !Matches(row);
    if (m_view->isRowHidden(row) == hide)
        return false;
    m_view->setRowHidden(row, hide);
    m_hidden += hide ? 1 : -1;
    return true;
}

void DeviceFilter::CheckRows(int first, int last)
{
    bool changed = false;
    for (int row = first; row <= last; ++row)
        changed = Apply(row) || changed;
    if (changed)
        emit shownChanged();
}

void DeviceFilter::Reapply()
{
    const int rows = m_model->rowCount();
    QHeaderView *header = m_view->verticalHeader();
    bool changed = false;
    m_hidden = 0;
    {
        // Each hidden or shown row would have the view lay out and repaint its rows
        // anew; they are laid out once below.
        const QSignalBlocker quiet(header);
        for (int row = 0; row < rows; ++row) {
            const bool hide = !Matches(row);
            m_hidden += hide ? 1 : 0;
            if (m_view->isRowHidden(row) != hide) {
                m_view->setRowHidden(row, hide);
                changed = true;
            }
        }
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
