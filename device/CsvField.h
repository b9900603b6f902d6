#pragma once
// One field of a CSV record as RFC 4180 writes it, for the window's export and the
// command-line listing alike, made safe for spreadsheet programs.
#include <QString>

// `text` with a leading apostrophe when it begins with a character a spreadsheet
// program takes as the start of a formula ('=', '+', '-', '@') or that it may drop
// or act on (TAB, CR): a device description "=HYPERLINK(...)" must arrive as text,
// never run. The spreadsheet shows the apostrophe-led cell as the text itself. For
// every cell that leaves the program for a spreadsheet: CSV fields and the
// clipboard's row alike.
QString SpreadsheetText(const QString &text);

// SpreadsheetText(text), quoted (with inner quotes doubled) when it holds a comma, a
// quote, CR or LF.
QString CsvField(const QString &text);
