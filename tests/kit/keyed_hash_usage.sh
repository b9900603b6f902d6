#!/bin/sh
# Fails on a hash table keyed by text or numbers that does not use the process's
# secret key (kit/KeyedHash.h, device/KeyedText.h): a QHash/QSet keyed by QString,
# QByteArray or an integer, a std unordered container with its default hasher, or a
# direct call of qHash, in the folders whose code handles what the network sends.
# Tables keyed by pointers or enums stay allowed.
root=${1:?source folder}
cd "$root" || exit 2
pattern='Q(Multi)?Hash<[[:space:]]*(QString|QByteArray|QLatin1String|Ipv4|int|uint|quint32|quint64|uint32_t|uint64_t)[[:space:]]*,|QSet<[[:space:]]*(QString|QByteArray|Ipv4|int|uint|quint32|uint32_t)[[:space:]]*>|std::unordered_(multi)?(map|set)<|(^|[^A-Za-z_:])qHash\('
found=$(grep -rnE "$pattern" app cli device protocol transport tools --include='*.h' --include='*.cpp' |
        grep -v -e '^kit/KeyedHash.h:' -e '^device/KeyedText.h:')
if [ -n "$found" ]; then
    echo "Hash tables keyed by network text must use KeyedTextHash/KeyedTextSet (device/KeyedText.h)"
    echo "or kit::KeyedMap/KeyedSet (kit/KeyedHash.h):"
    echo "$found"
    exit 1
fi
echo "every text- or number-keyed hash table is keyed with the process secret"
