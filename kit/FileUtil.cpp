#include "kit/FileUtil.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vant {

namespace {

// Whether the path is a regular file that can be opened for reading, with its
// status; directories, FIFOs and devices are refused, as they would be by the file
// APIs these helpers were written against.
bool CanOpenRegularForReading(const std::string &path, struct stat *st)
{
    const int fd = OpenForReading(path);
    if (fd < 0)
        return false;
    const bool regular = fstat(fd, st) == 0 && S_ISREG(st->st_mode);
    ::close(fd);
    return regular;
}

bool LengthInRange(const std::string &path) { return path.size() >= 2 && path.size() <= kMaxPath; }

std::atomic<bool> g_privateCreation{false};

} // namespace

void SetPrivateCreation(bool privateModes) { g_privateCreation.store(privateModes, std::memory_order_relaxed); }

bool PrivateCreation() { return g_privateCreation.load(std::memory_order_relaxed); }

mode_t NewDirectoryMode() { return PrivateCreation() ? 0700 : 0777; }

mode_t NewFileMode() { return PrivateCreation() ? 0600 : 0666; }

int OpenForReading(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

std::string GetModuleDirectory()
{
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return std::string();
    std::string path(buffer, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash + 1);
}

std::string AddBackslash(const std::string &path)
{
    if (path.size() > 1 && path.back() == '/')
        return path;
    return path + '/';
}

bool CreateDirectoryPath(const std::string &path)
{
    const std::string full = AddBackslash(path);
    for (std::size_t pos = full.find('/'); pos != std::string::npos; pos = full.find('/', pos + 1)) {
        if (pos == 0)
            continue; // the root
        const std::string part = full.substr(0, pos);
        // Made, or already there: mkdir reports an existing name before it checks
        // any permission, so the parent need not be readable, and a directory made
        // by someone else meanwhile is as good as our own.
        if (mkdir(part.c_str(), NewDirectoryMode()) == 0)
            continue;
        struct stat st;
        if (stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
    }
    return true;
}

bool IsDirectoryPath(const std::string &path)
{
    struct stat st;
    return LengthInRange(path) && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsPathOnVolume(const std::string &path)
{
    struct stat st;
    return LengthInRange(path) && stat(AddBackslash(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveDirectoryFiles(const std::string &path)
{
    if (!LengthInRange(path))
        return false;
    // The directory is opened without following a final link and then worked on
    // through its descriptor: neither a link given as the path nor one put in its
    // place meanwhile leads to another directory's files.
    std::string directory = path;
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (dirent *entry = readdir(dir)) {
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        if (unlinkat(fd, entry->d_name, 0) != 0) {
            ok = false;
            break;
        }
    }
    closedir(dir); // closes fd
    return ok && rmdir(directory.c_str()) == 0;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return CanOpenRegularForReading(path, &st);
}

bool CreateEmptyFile(const std::string &path)
{
    // A symbolic link in the file's place is refused (its target is never cut), and
    // a FIFO there fails at once instead of waiting for a reader.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, NewFileMode());
    if (fd < 0)
        return false;
    return ::close(fd) == 0;
}

bool DeleteFilePath(const std::string &path) { return unlink(path.c_str()) == 0; }

int32_t GetFileLength(const std::string &path)
{
    struct stat st;
    if (!CanOpenRegularForReading(path, &st))
        return 0;
    if (st.st_size > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(st.st_size);
}

} // namespace Vant
