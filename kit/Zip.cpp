#include "kit/Zip.h"

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "kit/FileUtil.h"

namespace Vant {

bool CZip::CompressFile(const std::string &source, const std::string &target, bool durable)
{
    // Opened without waiting for a peer, then checked: only a regular file is a source.
    const int fd = OpenForReading(source);
    if (fd < 0)
        return false;
    struct stat st;
    std::FILE *in = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(in = fdopen(fd, "rb"))) {
        ::close(fd);
        return false;
    }
    // The target is opened without following a symbolic link in its place, is not
    // inherited by programs started meanwhile, and gets the kit's file mode (private
    // in the state folder); then it is handed to zlib.
    const int targetFd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, NewFileMode());
    // zlib closes the descriptor it is given; a copy stays open for the fsync after
    // the last block.
    const int syncFd = durable && targetFd >= 0 ? ::fcntl(targetFd, F_DUPFD_CLOEXEC, 0) : -1;
    gzFile out = targetFd < 0 || (durable && syncFd < 0) ? nullptr : gzdopen(targetFd, "wb6");
    if (!out) {
        if (targetFd >= 0)
            ::close(targetFd);
        if (syncFd >= 0)
            ::close(syncFd);
        std::fclose(in);
        return false;
    }
    static constexpr std::size_t kPiece = 16384;
    char piece[kPiece];
    bool ok = true;
    for (;;) {
        std::size_t n = std::fread(piece, 1, kPiece, in);
        if (n > 0 && gzwrite(out, piece, static_cast<unsigned>(n)) != static_cast<int>(n)) {
            ok = false;
            break;
        }
        if (n < kPiece) {
            ok = !std::ferror(in);
            break;
        }
    }
    // gzclose writes the last block and the trailer: its failure is a failure too,
    // or the caller would truncate a log whose copy is incomplete.
    if (gzclose(out) != Z_OK)
        ok = false;
    if (syncFd >= 0) {
        if (ok && ::fsync(syncFd) != 0)
            ok = false;
        ::close(syncFd);
    }
    std::fclose(in);
    return ok;
}

} // namespace Vant
