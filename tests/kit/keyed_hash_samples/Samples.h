// Input of the keyed_hash_usage check's own test: every declaration below the
// first marker must be found (11), none below the second.
// Must be found:
QHash<QHostAddress, int> byAddress;
QHash<int, QString> byNumber;
QHash<QPair<QString, int>, int> byPair;
QCache<QString, Entry> cache;
QMultiHash<QString, int> multi;
QHash<
    QString,
    int>
    spread;
QSet<QHostAddress> addresses;
std::unordered_map<std::string, int> plain;
std::unordered_set<uint32_t> numbers;
namespace std { template <> struct hash<Device> { size_t operator()(const Device &) const; }; }
uint bucket = qHash(text);
// Must not be found:
QHash<KeyedText, int> keyed;
QHash<QObject *, int> byPointer;
std::unordered_map<std::string, int, kit::KeyedHash> keyedMap;
std::unordered_set<uint32_t, KeyedHash> keyedSet;
kit::KeyedMap<std::string, int> alias;
/* QHash<QString, int> in a comment */
