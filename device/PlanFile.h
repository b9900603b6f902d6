#pragma once
// A plan file: the new network settings of many devices, as an operator prepares them
// in a spreadsheet, read into rows.
//
// Three layouts are read, told apart by the first record (the header):
//  - the window's export (app/DeviceListText.h): an optional UTF-8 byte-order mark and
//    the nine column titles; the port, description and any status column are ignored;
//  - the same with the English column titles (device/ColumnTitles.h, compared without
//    regard to ASCII case), as the English window names the columns;
//  - member names as the device messages spell them: serialNo, address, subnetMask,
//    gateway, dns, dhcp, and optionally mac (compared without regard to ASCII case).
// Columns may stand in any order. Fields are RFC 4180 (quotes doubled inside quoted
// fields, CR LF or LF between records); a leading apostrophe that a spreadsheet guard
// put before "=", "+", "-", "@", TAB or CR is taken off again.
//
// A row is kept when its serial number is present, its DHCP cell says 启用/禁用,
// true/false or on/off, and (with DHCP off) all four addresses are dotted IPv4 text,
// the rule the settings dialog applies before sending. With DHCP on the address cells
// are not read: the device keeps what it reports, as with `brenu-search set`. Every
// other row becomes a problem naming its line; a file with problems is refused whole
// by its callers.
#include <QByteArray>
#include <QString>

#include <vector>

#include "device/DeviceRequests.h"

// The largest plan file read. An export of a full table (kMaxDeviceRows rows of about
// 200 bytes) is some 4 MiB; twice that leaves room for long descriptions, and a larger
// file is not a plan (a wrong file chosen) and would only be read into memory whole.
constexpr qint64 kMaxPlanFileBytes = 8 * 1024 * 1024;
// The most rows a plan holds: no more devices than one listing holds can be matched.
constexpr int kMaxPlanRows = kMaxDeviceRows;

struct PlanRow {
    int line = 0;     // line of the file where the record starts, from 1
    QString serialNo;
    QString mac;      // empty: the row is not pinned to one MAC address
    NetworkSettings settings; // with DHCP on only `dhcp` is meaningful
};

struct PlanProblem {
    enum Kind {
        NoHeader,        // the first record is neither header; `text`: the missing column
        BadQuoting,      // a quoted field is not closed
        FieldCount,      // more non-empty fields than the header has titles, or fewer
        NoSerial,        // the serial number cell is empty
        BadDhcp,         // `text`: the cell
        BadAddress,      // `text`: the column's member name
        DuplicateSerial, // the serial (and MAC) were already named on an earlier line
        TooManyRows,
        TooLarge,
    };
    Kind kind;
    int line = 0;
    QString text;
};

struct Plan {
    std::vector<PlanRow> rows;
    std::vector<PlanProblem> problems;
};

// Reads a whole plan file's bytes.
Plan ParsePlan(const QByteArray &bytes);
// Reads the plan file at `path` (at most kMaxPlanFileBytes and one byte more, so that
// a longer file is a TooLarge problem). False, with the system's reason in `error`,
// when the file cannot be opened.
bool ReadPlanFile(const QString &path, Plan &plan, QString &error);

// The DHCP spellings of a plan: 启用/禁用, true/false, on/off (ASCII case ignored, blanks
// around trimmed). False when the text is none of them.
bool ParseDhcpText(const QString &text, bool &on);

// A problem in English for brenu-search ("line 4: ...").
QString PlanProblemText(const PlanProblem &problem);
