#pragma once
// What a screen reader gets from the device table while the filter hides rows.
//
// Qt's own table interface counts and numbers the model's rows, hidden ones included,
// so a filter that shows 3 of 2,000 devices would be read as a table of 2,000 rows.
// This one reports the rows the filter shows: rowCount() is their number, cellAt(r, c)
// is the r-th row shown, and a cell's rowIndex() its place among them. Children keep
// Qt's numbering (a header row and column, then the model's cells row by row), the one
// the view uses for its focus announcements; the children of hidden rows are absent.
class DeviceFilter;
class QTableView;

// Makes `view`'s accessibility interface the one above, counting the rows `filter`
// shows (both outlive each other's use: the view's interface goes with the view).
// Call before the view is shown.
void UseShownRowsTable(QTableView *view, DeviceFilter *filter);
// Tells a listening screen reader that the rows shown changed (a new filter text).
void AnnounceShownRowsChanged(QTableView *view);
