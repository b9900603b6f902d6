#pragma once
// The key type of every Qt hash table keyed by text from the network (serial
// numbers, MAC addresses, device addresses, descriptions and keys built from them):
// a QString hashed with the process's secret key (kit/KeyedHash.h), so that no
// sender can choose texts that fall into one bucket. It converts to and from QString
// implicitly, so a table declared as KeyedTextHash<V> is used as a QHash<QString, V>
// would be (value, find, insert, operator[] take a QString); a key read back is a
// KeyedText, whose text is `text` (or a QString by conversion).
//
// A look-up costs one SipHash-1-3 over the text (a serial number: a few tens of
// nanoseconds) and a table of n keys chosen by a sender costs what n random keys cost.
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include "kit/KeyedHash.h"

struct KeyedText {
    QString text;

    KeyedText() = default;
    KeyedText(const QString &t) : text(t) {} // NOLINT: converts on purpose
    KeyedText(QString &&t) : text(std::move(t)) {} // NOLINT
    operator const QString &() const { return text; } // NOLINT

    friend bool operator==(const KeyedText &a, const KeyedText &b) { return a.text == b.text; }
    friend bool operator!=(const KeyedText &a, const KeyedText &b) { return a.text != b.text; }
    // Qt 6's tables take a size_t hash and seed, Qt 5's a uint; the secret key, not
    // the table's seed, is what makes the hash unpredictable.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    using HashValue = size_t;
#else
    using HashValue = uint;
#endif
    friend HashValue qHash(const KeyedText &key, HashValue = 0)
    {
        return static_cast<HashValue>(kit::KeyedHashBytes(key.text.constData(),
                                                          static_cast<size_t>(key.text.size()) * sizeof(QChar)));
    }
};

template <typename V>
using KeyedTextHash = QHash<KeyedText, V>;
using KeyedTextSet = QSet<KeyedText>;

// The texts of a table's keys, in no particular order (QHash::keys for a KeyedTextHash).
template <typename V>
QStringList KeyedTextKeys(const KeyedTextHash<V> &table)
{
    QStringList keys;
    keys.reserve(table.size());
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        keys << it.key().text;
    return keys;
}
