#include "app/AccessibleTable.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMap>
#include <QHeaderView>
#include <QPointer>
#include <QTableView>
#include <QVector>

#include "app/DeviceFilter.h"

namespace {

// The dynamic property that marks a view for this interface and names its filter.
constexpr const char *kFilterProperty = "brenuShownRowsFilter";

class ShownRowsTable;

// A header or body cell of the table.
class TableCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    // A body cell at model `row` (header: row -1, a column title).
    TableCell(ShownRowsTable *table, QTableView *view, int row, int column)
        : m_table(table), m_view(view), m_row(row), m_column(column)
    {
    }

    bool isValid() const override;
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        if (!isValid())
            return QString();
        if (m_row < 0)
            return t == QAccessible::Name
                       ? m_view->model()->headerData(m_column, Qt::Horizontal, Qt::DisplayRole).toString()
                       : QString();
        const QModelIndex index = Index();
        switch (t) {
        case QAccessible::Name:
        case QAccessible::Value: return index.data(Qt::DisplayRole).toString();
        case QAccessible::Description: return index.data(Qt::AccessibleDescriptionRole).toString();
        default: return QString();
        }
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!isValid())
            return QRect();
        if (m_row < 0) {
            const QHeaderView *header = m_view->horizontalHeader();
            return QRect(header->mapToGlobal(QPoint(header->sectionViewportPosition(m_column), 0)),
                         QSize(header->sectionSize(m_column), header->height()));
        }
        const QRect cell = m_view->visualRect(Index());
        return QRect(m_view->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }
    QAccessible::Role role() const override { return m_row < 0 ? QAccessible::ColumnHeader : QAccessible::Cell; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        if (!isValid())
            return state;
        if (m_row < 0)
            return state;
        const QModelIndex index = Index();
        state.selectable = true;
        state.focusable = true;
        state.selected = m_view->selectionModel() && m_view->selectionModel()->isSelected(index);
        state.focused = m_view->hasFocus() && m_view->currentIndex() == index;
        state.invisible = !m_view->viewport()->rect().intersects(m_view->visualRect(index));
        return state;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableCellInterface && m_row >= 0
                   ? static_cast<QAccessibleTableCellInterface *>(this)
                   : nullptr;
    }

    bool isSelected() const override { return state().selected; }
    QList<QAccessibleInterface *> columnHeaderCells() const override;
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return m_column; }
    int rowIndex() const override;
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

private:
    QModelIndex Index() const { return m_view->model()->index(m_row, m_column); }

    ShownRowsTable *m_table;
    QPointer<QTableView> m_view;
    int m_row;
    int m_column;
};

class ShownRowsTable : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    ShownRowsTable(QTableView *view, DeviceFilter *filter)
        : QAccessibleWidget(view, QAccessible::Table), m_filter(filter)
    {
    }
    ~ShownRowsTable() override { Forget(); }

    QTableView *View() const { return static_cast<QTableView *>(widget()); }
    int Columns() const { return View()->model() ? View()->model()->columnCount() : 0; }
    // Qt's numbering of children: the header row, then one row per model row, each
    // with the row header first.
    int ChildIndex(int row, int column) const { return (row + 1) * (Columns() + 1) + column + 1; }

    // The cell's interface, made once and kept until the rows change.
    QAccessibleInterface *Cell(int row, int column) const
    {
        const int child = ChildIndex(row, column);
        const auto known = m_cells.constFind(child);
        if (known != m_cells.constEnd())
            return QAccessible::accessibleInterface(*known);
        auto *cell = new TableCell(const_cast<ShownRowsTable *>(this), View(), row, column);
        m_cells.insert(child, QAccessible::registerAccessibleInterface(cell));
        return cell;
    }
    void Forget()
    {
        for (QAccessible::Id id : qAsConst(m_cells))
            QAccessible::deleteAccessibleInterface(id);
        m_cells.clear();
    }
    // The model row of the r-th row shown.
    int ModelRow(int shown) const
    {
        if (!m_filter || !m_filter->Active())
            return shown;
        const QVector<int> rows = m_filter->ShownRows();
        return shown >= 0 && shown < rows.size() ? rows[shown] : -1;
    }
    int ShownIndex(int row) const { return m_filter ? m_filter->RowNumber(row) - 1 : row; }
    bool Shown(int row) const { return !m_filter || m_filter->IsShown(row); }

    // QAccessibleInterface
    QAccessibleInterface *child(int index) const override
    {
        const int columns = Columns();
        if (index < 0 || columns == 0)
            return nullptr;
        const int row = index / (columns + 1) - 1, column = index % (columns + 1) - 1;
        if (row < -1 || column < 0 || row >= View()->model()->rowCount())
            return nullptr;
        if (row == -1) {
            const int header = -1 - column; // header cells live under negative keys
            const auto known = m_cells.constFind(header);
            if (known != m_cells.constEnd())
                return QAccessible::accessibleInterface(*known);
            auto *cell = new TableCell(const_cast<ShownRowsTable *>(this), View(), -1, column);
            m_cells.insert(header, QAccessible::registerAccessibleInterface(cell));
            return cell;
        }
        return Shown(row) ? Cell(row, column) : nullptr;
    }
    int childCount() const override
    {
        const QAbstractItemModel *model = View()->model();
        return model ? (model->rowCount() + 1) * (Columns() + 1) : 0;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child)
            return -1;
        const QAccessible::Id id = QAccessible::uniqueId(const_cast<QAccessibleInterface *>(child));
        for (auto each = m_cells.constBegin(); each != m_cells.constEnd(); ++each)
            if (*each == id)
                return each.key() < 0 ? -each.key() : each.key(); // a header: its column + 1
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint at = View()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = View()->indexAt(at);
        return index.isValid() && Shown(index.row()) ? Cell(index.row(), index.column()) : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        const QModelIndex current = View()->currentIndex();
        return current.isValid() && Shown(current.row()) ? Cell(current.row(), current.column()) : nullptr;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // QAccessibleTableInterface
    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override
    {
        const int modelRow = ModelRow(row);
        return modelRow >= 0 && column >= 0 && column < Columns() ? Cell(modelRow, column) : nullptr;
    }
    QString columnDescription(int column) const override
    {
        return View()->model()->headerData(column, Qt::Horizontal).toString();
    }
    QString rowDescription(int row) const override { return QString::number(row + 1); }
    int columnCount() const override { return Columns(); }
    int rowCount() const override
    {
        const QAbstractItemModel *model = View()->model();
        if (!model)
            return 0;
        return m_filter && m_filter->Active() ? m_filter->ShownCount() : model->rowCount();
    }
    int selectedCellCount() const override { return selectedCells().size(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return selectedRows().size(); }
    QList<QAccessibleInterface *> selectedCells() const override
    {
        QList<QAccessibleInterface *> cells;
        if (const QItemSelectionModel *selection = View()->selectionModel())
            for (const QModelIndex &index : selection->selectedIndexes())
                if (Shown(index.row()))
                    cells << Cell(index.row(), index.column());
        return cells;
    }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override
    {
        QList<int> rows;
        if (const QItemSelectionModel *selection = View()->selectionModel())
            for (const QModelIndex &index : selection->selectedRows())
                if (Shown(index.row()))
                    rows << ShownIndex(index.row());
        return rows;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override
    {
        const int modelRow = ModelRow(row);
        return modelRow >= 0 && View()->selectionModel() && View()->selectionModel()->isRowSelected(modelRow, {});
    }
    bool selectRow(int row) override
    {
        const int modelRow = ModelRow(row);
        if (modelRow < 0)
            return false;
        View()->selectRow(modelRow);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override
    {
        const int modelRow = ModelRow(row);
        if (modelRow < 0 || !View()->selectionModel())
            return false;
        View()->selectionModel()->select(View()->model()->index(modelRow, 0),
                                         QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        return true;
    }
    bool unselectColumn(int) override { return false; }
    // Any change of the rows renumbers them: the cells are made again when asked.
    void modelChange(QAccessibleTableModelChangeEvent *) override { Forget(); }

private:
    QPointer<DeviceFilter> m_filter;
    // Cells by child index (header cells by -1 - column); an ordered map, as no
    // table of this program hashes a key the network can choose (see KeyedText.h).
    mutable QMap<int, QAccessible::Id> m_cells;
};

bool TableCell::isValid() const
{
    if (!m_view || !m_view->model() || m_column < 0 || m_column >= m_view->model()->columnCount())
        return false;
    return m_row < 0 || m_row < m_view->model()->rowCount();
}

QAccessibleInterface *TableCell::parent() const
{
    return m_table; // the table forgets its cells before it goes
}

QList<QAccessibleInterface *> TableCell::columnHeaderCells() const
{
    QAccessibleInterface *table = parent();
    if (!table)
        return {};
    QAccessibleInterface *header = table->child(m_column + 1);
    return header ? QList<QAccessibleInterface *>{header} : QList<QAccessibleInterface *>{};
}

int TableCell::rowIndex() const
{
    return m_table->ShownIndex(m_row);
}

QAccessibleInterface *TableFactory(const QString &className, QObject *object)
{
    if (className != QLatin1String("QTableView") || !object)
        return nullptr;
    const QVariant filter = object->property(kFilterProperty);
    if (!filter.isValid())
        return nullptr;
    return new ShownRowsTable(static_cast<QTableView *>(object), qobject_cast<DeviceFilter *>(filter.value<QObject *>()));
}

} // namespace

void UseShownRowsTable(QTableView *view, DeviceFilter *filter)
{
    static const bool installed = [] {
        QAccessible::installFactory(TableFactory);
        return true;
    }();
    (void)installed;
    view->setProperty(kFilterProperty, QVariant::fromValue(static_cast<QObject *>(filter)));
    // Qt may already have made the view its own interface.
    if (QAccessibleInterface *made = QAccessible::queryAccessibleInterface(view))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void AnnounceShownRowsChanged(QTableView *view)
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTableModelChangeEvent event(view, QAccessibleTableModelChangeEvent::ModelReset);
    QAccessible::updateAccessibility(&event);
}
