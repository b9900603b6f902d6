#pragma once
// The device table's model: the rows of DeviceTable (one per serial number), the
// device list behind them (device/DeviceList.h), and the look of the rows whose
// devices have gone silent (muted text, a tooltip with the time of the last answer).
//
// Silence and the marks are not stored in the items: the model answers
// Qt::ForegroundRole, Qt::ToolTipRole and the serial number's Qt::DecorationRole from
// its device list, so a check that mutes many rows at once costs one change notice
// instead of two per cell.
//
// Marks: a row whose serial number several devices answer, or whose address another
// serial number answers from, shows the conflict icon before its serial number; a
// row whose device lies outside every subnet of the interface that heard it shows
// the foreign-subnet icon (conflict wins). The row's tooltip says what is shared and
// with whom, and, for a silent row, the time of its last answer. The icons leave the
// muted text colour of silent rows as it is. The tooltip's text is also every cell's
// Qt::AccessibleDescriptionRole, so a screen reader says what the icons show.
//
// The DHCP cell stores "启用"/"禁用" (what files hold in every language) and is shown
// in the window's language (Qt::DisplayRole; Qt::EditRole gives the stored text).
#include <QBrush>
#include <QIcon>
#include <QStandardItemModel>

#include "device/DeviceList.h"
#include "kit/Disposal.h"
#include "device/KeyedText.h"

// The most devices or serial numbers a tooltip names: the device list's bound for any
// naming of conflicts (kMaxConflictNames, device/DeviceList.h).
constexpr int kMaxNamedInTip = kMaxConflictNames;

// Names for a tooltip: at most kMaxNamedInTip of `names`, shown as cells show device
// text, then "and N more" for the rest and for `more` left out beforehand.
QString NameSome(QStringList names, int more = 0);

class DeviceFilter;

class DeviceModel : public QStandardItemModel {
    Q_OBJECT
public:
    explicit DeviceModel(QObject *parent = nullptr, int maxDevices = kMaxDeviceRows);

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // The rows' numbers at the left count the rows the filter shows (DeviceFilter::RowNumber).
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void SetRowNumbers(const DeviceFilter *filter) { m_rowNumbers = filter; }

    // Sorts the rows by the cells of `column`, stable, by the column's meaning read
    // from each cell's text as it is now: addresses (address, mask, gateway, DNS) by
    // their value, the port by its number, DHCP by its state (off before on, in every
    // language), the MAC address by its value; a cell without such a value comes after
    // every cell with one, ordered by its text, and empty cells come last. The serial
    // number and the description sort by their text (case-sensitive, as
    // QStandardItemModel compares). Descending order is the exact reverse.
    //
    // QStandardItemModel::sort moves the items but leaves each item's cached position
    // in its parent as it was; every later lookup of an item's index (each cell
    // update, each item deleted by a refresh or at close) then searches the row
    // vector from that stale position, and a full table costs seconds per pass. Here
    // the items stay where they are and their contents move, so those positions stay
    // right; persistent indexes (selection, current row, DeviceRowIndex) follow their
    // rows as they would.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Empties the table with one model reset: the view drops its rows at once instead
    // of being told of each one. The items and the devices behind them are freed on
    // the model's disposal worker, not on the calling (UI) thread.
    void RemoveAllRows();
    // Returns once what RemoveAllRows handed over has been freed.
    void WaitForRemovedRows() { m_disposal.Wait(); }

    // The text colour of silent rows (the view's disabled text colour).
    void SetSilentBrush(const QBrush &brush) { m_silentBrush = brush; }
    // The icons of the marks.
    void SetMarkIcons(const QIcon &conflict, const QIcon &foreign)
    {
        m_conflictIcon = conflict;
        m_foreignIcon = foreign;
    }
    // A note shown in the row's tooltip until the row goes (empty: none).
    void SetRowNote(const QString &serialNo, const QString &note);

    // Notes that the device list's answer for the device listed in `row` changed its
    // look (it came back, or its conflicts changed).
    void RowLookChanged(int row) { LookChanged(row, row); }
    // Notes that the marks of the device listed in `row` changed (its conflicts): only
    // the serial number's icon is shown anew, tooltips are read when shown.
    void RowMarkChanged(int row);
    // Mutes the rows whose devices have all been silent long enough; the number of
    // devices that went silent now.
    int CheckSilence(uint32_t tick);

    // The devices behind the rows. A row that goes takes its devices with it.
    DeviceList &Devices() { return m_devices; }
    const DeviceList &Devices() const { return m_devices; }

private:
    void ForgetRows(const QModelIndex &parent, int first, int last);
    QString ToolTip(const QString &serialNo, bool silent, int64_t lastAnswer) const;
    void LookChanged(int firstRow, int lastRow);

    DeviceList m_devices;
    const DeviceFilter *m_rowNumbers = nullptr;
    QBrush m_silentBrush;
    QIcon m_conflictIcon;
    QIcon m_foreignIcon;
    // Notes by serial number: one per row at most, dropped with the row.
    KeyedTextHash<QString> m_notes;
    // The DHCP cell's stored texts and how they are shown (translated once).
    const QString m_dhcpOn;
    const QString m_dhcpOff;
    const QString m_dhcpOnShown;
    const QString m_dhcpOffShown;
    // Last, so that it is destroyed first: it finishes freeing removed rows while the
    // rest of the model still exists.
    Vant::Disposal m_disposal;
};
