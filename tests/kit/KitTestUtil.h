#pragma once
// Helpers shared by the kit's tests: waiting for a condition with a deadline, and a
// temporary directory that is removed with everything in it.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace kittest {

// Polls pred every millisecond until it is true or the deadline passes.
inline bool WaitFor(const std::function<bool()> &pred,
                    std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs fn on its own thread and answers whether it returned within the limit. If it
// did not (it is stuck opening the FIFO at fifoPath, which waits for a peer), the
// FIFO is opened from here so that fn can go on, and the thread is joined.
inline bool ReturnsDespiteFifo(const std::string &fifoPath, const std::function<void()> &fn,
                               std::chrono::milliseconds limit = std::chrono::seconds(2))
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    const bool inTime = WaitFor([&] { return done.load(); }, limit);
    int peer = -1;
    if (!inTime)
        peer = ::open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    worker.join();
    if (peer >= 0)
        ::close(peer);
    return inTime;
}

class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/kit-test-XXXXXX";
        if (mkdtemp(templ.data()))
            m_path = templ;
    }
    ~TempDir()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(), &RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The directory without a trailing separator.
    const std::string &path() const { return m_path; }
    // The directory with a trailing separator.
    std::string dir() const { return m_path + "/"; }

private:
    static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
    {
        ::remove(path);
        return 0;
    }
    std::string m_path;
};

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Whether anything (a dangling link included) is at the path.
inline bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Everything a gzip file holds, read back with zlib; false when it is not valid.
inline bool Gunzip(const std::string &path, std::string *out)
{
    gzFile in = gzopen(path.c_str(), "rb");
    if (!in)
        return false;
    out->clear();
    char buf[16384];
    int n;
    while ((n = gzread(in, buf, sizeof buf)) > 0)
        out->append(buf, static_cast<std::size_t>(n));
    int err = Z_OK;
    gzerror(in, &err);
    const bool ok = n == 0 && err == Z_OK;
    return gzclose(in) == Z_OK && ok;
}

// The gzip tool's own integrity check.
inline bool GzipTestPasses(const std::string &path)
{
    const std::string cmd = "gzip -t '" + path + "' 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

inline bool WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

} // namespace kittest
