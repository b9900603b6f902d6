#pragma once
// Vant::CZip: compresses one file into a new gzip file (zlib's gzip interface,
// level 6, 16384-byte pieces). Keeps no state; any instance compresses any file.
#include <string>

namespace Vant {

class CZip {
public:
    virtual ~CZip() = default;
    // True when the whole source has been written into the target as a gzip file
    // and the target was closed without error. An existing target is replaced (a
// symbolic link in its place is refused, never written through); the
    // source is never changed. A source that is missing or not a regular file
    // creates no target; after a later failure the partial target stays. With
    // `durable` the target's contents reach the storage (fsync) before it is closed,
    // so that a rename that follows never names a file a power loss could cut short.
    bool CompressFile(const std::string &source, const std::string &target, bool durable = false);
};

} // namespace Vant
