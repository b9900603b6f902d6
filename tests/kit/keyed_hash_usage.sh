#!/bin/sh
# Fails on a hash table that a sender on the network could fill with keys of its
# choosing without the process's secret key (kit/KeyedHash.h, device/KeyedText.h):
#  - a QHash, QMultiHash, QSet or QCache whose key is anything but KeyedText or a
#    pointer (QString, QByteArray, QHostAddress, integers, enums, pairs, ...);
#  - a std unordered container without kit::KeyedHash as its hasher;
#  - std::hash, used or specialised, and a direct call of qHash;
# in every folder of the product's code. Declarations spread over several lines
# count as well (the files are read whole, comments left out).
#
#   keyed_hash_usage.sh SOURCE-ROOT [FOLDER...]    (default: every folder of the product)
root=${1:?source folder}
shift
cd "$root" || exit 2
[ $# -gt 0 ] || set -- app cli device protocol transport tools kit linksend
found=$(find "$@" \( -name '*.h' -o -name '*.cpp' \) ! -path 'kit/KeyedHash.h' ! -path 'device/KeyedText.h' -print |
    sort | xargs perl -0777 -ne '
        my $file = $ARGV;
        my $text = $_;
        # Comments out, keeping line breaks so that findings name their line.
        $text =~ s{/\*.*?\*/}{ my $c = $&; $c =~ tr/\n//cd; $c }gse;
        $text =~ s{//[^\n]*}{}g;
        my $args = qr/(<(?:[^<>]++|(?-1))*>)/;
        my @top = sub { my @a; my ($d, $cur) = (0, ""); for my $ch (split //, $_[0]) {
            if ($ch eq "<") { $d++ } elsif ($ch eq ">") { $d-- }
            if ($ch eq "," && $d == 0) { push @a, $cur; $cur = ""; next } $cur .= $ch } push @a, $cur;
            s/^\s+|\s+$//g for @a; return @a };
        my $split = $top[0];
        my $line = sub { my $at = shift; 1 + (substr($text, 0, $at) =~ tr/\n//) };
        my $flat = sub { my $s = shift; $s =~ s/\s+/ /g; $s };
        while ($text =~ /\b(QHash|QMultiHash|QSet|QCache)\s*$args/g) {
            my ($kind, $list, $at) = ($1, substr($2, 1, -1), $-[0]);
            my ($key) = $split->($list);
            next if $key eq "KeyedText" || $key =~ /\*$/;
            print "$file:" . $line->($at) . ": " . $flat->("$kind<$list>") . "\n";
        }
        while ($text =~ /\bstd::unordered_(multi)?(map|set)\s*$args/g) {
            my ($kind, $list, $at) = ($2, substr($3, 1, -1), $-[0]);
            my @a = $split->($list);
            my $hasher = $a[$kind eq "map" ? 2 : 1] // "";
            next if $hasher =~ /^(kit::)?KeyedHash$/;
            print "$file:" . $line->($at) . ": " . $flat->("std::unordered_$kind<$list>") . "\n";
        }
        while ($text =~ /\bstd::hash\s*<|\btemplate\s*<\s*>\s*struct\s+hash\s*<|(?:^|[^A-Za-z_:])qHash\s*\(/g) {
            print "$file:" . $line->($-[0]) . ": " . $flat->($&) . "\n";
        }
    ')
if [ -n "$found" ]; then
    echo "Hash tables keyed by network text must use KeyedTextHash/KeyedTextSet (device/KeyedText.h)"
    echo "or kit::KeyedMap/KeyedSet (kit/KeyedHash.h):"
    echo "$found"
    echo "found $(echo "$found" | wc -l) unkeyed hash tables"
    exit 1
fi
echo "every hash table is keyed with the process secret"
