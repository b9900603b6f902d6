#pragma once
// Readable Qt values in test failure messages.
#include <QString>
#include <QUrl>

#include <ostream>

inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QUrl &url, std::ostream *os) { *os << url.toString().toStdString(); }
