#include "device/CsvField.h"

QString SpreadsheetText(const QString &text)
{
    if (text.isEmpty())
        return text;
    switch (text.front().unicode()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
        return QLatin1Char('\'') + text;
    default:
        return text;
    }
}

QString CsvField(const QString &text)
{
    const QString safe = SpreadsheetText(text);
    if (!safe.contains(QLatin1Char(',')) && !safe.contains(QLatin1Char('"')) && !safe.contains(QLatin1Char('\r')) &&
        !safe.contains(QLatin1Char('\n')))
        return safe;
    QString quoted = safe;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
