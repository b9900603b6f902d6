#pragma once
// One field of a CSV record as RFC 4180 writes it, for the window's export and the
// command-line listing alike.
#include <QString>

// `text` quoted (with inner quotes doubled) when it holds a comma, a quote, CR or
// LF, else as it is.
QString CsvField(const QString &text);
