#include "kit/LogContext.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "kit/DateTime.h"
#include "kit/FileUtil.h"
#include "kit/LogDay.h"
#include "kit/Zip.h"

namespace Vant {

namespace {

// Appends the bytes with one write (looping only on short writes). On failure the
// file is cut back to its old length so that a retry does not leave half a batch.
bool AppendToFile(const std::string &path, const std::string &bytes)
{
    // O_NONBLOCK: a FIFO in the file's place fails at once instead of holding the
    // worker until a reader appears; on a regular file it changes nothing.
    // O_NOFOLLOW: a symbolic link in the file's place is refused, never written through.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, NewFileMode());
    if (fd < 0)
        return false;
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    std::size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!ok && known && done > 0) {
        if (ftruncate(fd, st.st_size) != 0) {
            // Nothing more to do: the retry appends after the partial lines.
        }
    }
    if (::close(fd) != 0)
        ok = false;
    return ok;
}

// "<day directory>_<name>-HHMMSS.log.gz", cut to the kit's path limit. A second
// roll-over within the same second (a large backlog) must not replace the first
// file, so an existing name gets a counter: "-HHMMSS-2.log.gz", "-HHMMSS-3.log.gz".
std::string RollOverName(const std::string &dayDirectory, const std::string &name, const std::string &hms)
{
    char target[kMaxPath + 1];
    std::snprintf(target, sizeof target, "%s_%s-%s.log.gz", dayDirectory.c_str(), name.c_str(), hms.c_str());
    for (int n = 2; ::access(target, F_OK) == 0 && n < 1000; ++n)
        std::snprintf(target, sizeof target, "%s_%s-%s-%d.log.gz", dayDirectory.c_str(), name.c_str(), hms.c_str(),
                      n);
    return target;
}

// Whether `name` is "_<context>-....log.gz" (an archive of that context) or that
// name with the temporary suffix.
bool IsArchiveOf(const std::string &entry, const std::string &context, const char *suffix)
{
    const std::string prefix = "_" + context + "-";
    const std::string end = std::string(".log.gz") + suffix;
    return entry.size() > prefix.size() + end.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
           entry.compare(entry.size() - end.size(), end.size(), end) == 0;
}

// The names in `directory` (without "." and ".."); empty when it cannot be read.
std::vector<std::string> DirectoryNames(const std::string &directory)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(directory.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// The gzip trailer of `path`: the CRC-32 and the length modulo 2^32 of what it holds.
bool ReadGzipTrailer(const std::string &path, uint32_t &crc, uint32_t &size)
{
    const int fd = OpenForReading(path);
    if (fd < 0)
        return false;
    unsigned char trailer[8];
    struct stat st;
    const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 18 + 8 &&
                    ::pread(fd, trailer, sizeof trailer, st.st_size - 8) == static_cast<ssize_t>(sizeof trailer);
    ::close(fd);
    if (!ok)
        return false;
    const auto word = [&](int at) {
        return static_cast<uint32_t>(trailer[at]) | static_cast<uint32_t>(trailer[at + 1]) << 8 |
               static_cast<uint32_t>(trailer[at + 2]) << 16 | static_cast<uint32_t>(trailer[at + 3]) << 24;
    };
    crc = word(0);
    size = word(4);
    return true;
}

// The CRC-32 of the whole of `path` (zlib's, as gzip stores it).
bool FileCrc(const std::string &path, uint32_t &crc)
{
    const int fd = OpenForReading(path);
    if (fd < 0)
        return false;
    uLong sum = crc32(0L, Z_NULL, 0);
    static constexpr std::size_t kPiece = 65536;
    std::vector<unsigned char> piece(kPiece);
    ssize_t n = 0;
    while ((n = ::read(fd, piece.data(), kPiece)) > 0)
        sum = crc32(sum, piece.data(), static_cast<uInt>(n));
    ::close(fd);
    crc = static_cast<uint32_t>(sum);
    return n == 0;
}

// True when an archive of `context` in `dayDirectory` holds exactly the plain file
// `file`: its trailer's length and CRC-32 match. Only archives of the right length
// cost a read of the plain file, once.
bool ArchivedAlready(const std::string &dayDirectory, const std::string &context, const std::string &file)
{
    const int32_t length = GetFileLength(file);
    if (length <= 0)
        return false;
    bool crcKnown = false;
    uint32_t plainCrc = 0;
    for (const std::string &name : DirectoryNames(dayDirectory)) {
        uint32_t crc = 0, size = 0;
        if (!IsArchiveOf(name, context, "") || !ReadGzipTrailer(dayDirectory + name, crc, size) ||
            size != static_cast<uint32_t>(length))
            continue;
        if (!crcKnown && !FileCrc(file, plainCrc))
            return false;
        crcKnown = true;
        if (crc == plainCrc)
            return true;
    }
    return false;
}

// Makes a rename in `directory` durable; best effort (a failure leaves the rename
// as durable as the file system makes it anyway).
void SyncDirectory(const std::string &directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::fsync(fd) != 0) {
        // Nothing more to do.
    }
    ::close(fd);
}

std::size_t RecordBytes(const CLogContext *record)
{
    return record ? sizeof(CLogContext) + record->m_time.size() + record->m_text.size() : 0;
}

// What a discarded record counts for in the note about dropped records.
uint64_t DroppedWeight(const CLogContext *record)
{
    if (!record)
        return 0;
    return record->m_droppedCount > 0 ? record->m_droppedCount : 1;
}

} // namespace

CLogContextHandle::DayLock::~DayLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
}

bool CLogContextHandle::DayLock::Take(const std::string &directory)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (m_fd < 0)
        return false;
    // Another process holds it only while it appends a batch or rolls a file over.
    while (::flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
    }
    return true;
}

bool CLogContextHandle::FullLocked(std::size_t addedBytes) const
{
    // While records are being dropped, the queue counts as full until the worker
    // has written it down to half of both bounds: one note then covers a long
    // flood instead of one note per batch written.
    if (m_dropped > 0)
        return m_queue.size() >= kMaxQueuedRecords / 2 || m_queuedBytes >= kMaxQueuedBytes / 2;
    return m_queue.size() >= kMaxQueuedRecords || m_queuedBytes + addedBytes > kMaxQueuedBytes;
}

bool CLogContextHandle::RefuseIfFull(std::size_t textBytes)
{
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    if (m_dropped == 0 && !FullLocked(sizeof(CLogContext) + textBytes))
        return false;
    ++m_dropped;
    return true;
}

bool CLogContextHandle::Append(CLogContext *record)
{
    if (!record)
        return false;
    const std::size_t bytes = RecordBytes(record);
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    // Nothing is accepted while a note about dropped records is due, so that the
    // note stands exactly where the records are missing.
    if (m_dropped > 0 || FullLocked(bytes)) {
        ++m_dropped;
        delete record;
        return false;
    }
    try {
        m_queue.push_back(record);
    } catch (...) {
        ++m_dropped;
        delete record;
        return false;
    }
    m_queuedBytes += bytes;
    return true;
}

std::size_t CLogContextHandle::QueueLength() const
{
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    return m_queue.size();
}

std::size_t CLogContextHandle::QueuedBytes() const
{
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    return m_queuedBytes;
}

uint64_t CLogContextHandle::DroppedCount() const
{
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    return m_dropped;
}

bool CLogContextHandle::IsPending() const
{
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    return !m_queue.empty() || m_dropped > 0;
}

void CLogContextHandle::EraseFrontLocked(std::size_t count)
{
    for (std::size_t i = 0; i < count && i < m_queue.size(); ++i)
        m_queuedBytes -= RecordBytes(m_queue[i]);
    m_queue.EraseFrontLocked(count);
}

void CLogContextHandle::QueueDropNoteLocked(IClock &clock)
{
    if (m_dropped == 0 || FullLocked(0))
        return;
    const CDateTime now(clock.Now());
    auto *note = new (std::nothrow) CLogContext;
    if (!note)
        return;
    try {
        note->m_time = now.FormatDateTime();
        note->m_text = "-------------------- " + std::to_string(m_dropped) + " records dropped";
        m_queue.push_back(note);
    } catch (...) {
        delete note; // out of memory: the count stays for the next attempt
        return;
    }
    note->m_day = now.DayOfYear();
    note->m_droppedCount = m_dropped;
    m_queuedBytes += RecordBytes(note);
    m_dropped = 0;
}

void CLogContextHandle::CountFailure()
{
    if (m_failures.fetch_add(1, std::memory_order_relaxed) + 1 >= kMaxFailures) {
        std::lock_guard<QueueLock> guard(m_queue.Mutex());
        for (const CLogContext *record : m_queue)
            m_dropped += DroppedWeight(record);
        m_queue.ClearLocked();
        m_queuedBytes = 0;
        m_failures.store(0, std::memory_order_relaxed);
    }
}

uint64_t CLogContextHandle::TakeWrittenBytes()
{
    const uint64_t written = m_written;
    m_written = 0;
    return written;
}

uint64_t CLogContextHandle::DropRest(const std::string &logDirectory, IClock &clock)
{
    uint64_t count = 0;
    {
        std::lock_guard<QueueLock> guard(m_queue.Mutex());
        count = m_dropped;
        for (const CLogContext *record : m_queue)
            count += DroppedWeight(record);
        m_queue.ClearLocked();
        m_queuedBytes = 0;
        m_dropped = 0;
    }
    if (count == 0)
        return 0;
    const std::string time = CDateTime(clock.Now()).FormatDateTime();
    std::string path;
    DayLock lock;
    if (PrepareFile(time, logDirectory, clock, &path, false, &lock))
        AppendToFile(path, "[" + time + "] -------------------- " + std::to_string(count) + " records dropped\r\n");
    return count;
}

bool CLogContextHandle::Flush(const std::string &logDirectory, IClock &clock, bool exiting)
{
    const uint32_t tick = clock.Tick();
    if (!m_windowOpen || tick - m_windowStart >= 1000) {
        m_windowOpen = true;
        m_windowStart = tick;
        m_windowBytes = 0;
    }
    if (!exiting && m_windowBytes >= kMaxWriteBytesPerSecond)
        return false; // this second's share is written: the records wait

    // Only this worker removes records, so the front of the queue stays put while
    // the lock is released; callers only add at the back.
    std::string firstTime;
    int32_t firstDay = 0;
    {
        std::lock_guard<QueueLock> guard(m_queue.Mutex());
        std::size_t empty = 0;
        while (empty < m_queue.size() && !m_queue[empty])
            ++empty;
        EraseFrontLocked(empty); // empty slots are simply removed
        QueueDropNoteLocked(clock);
        if (m_queue.empty())
            return false;
        firstTime = m_queue.front()->m_time;
        firstDay = m_queue.front()->m_day;
    }

    std::string path;
    DayLock lock; // held until the batch is in the file
    if (!PrepareFile(firstTime, logDirectory, clock, &path, !exiting, &lock)) {
        CountFailure();
        return false;
    }

    std::string buffer;
    std::size_t taken = 0;
    {
        std::lock_guard<QueueLock> guard(m_queue.Mutex());
        buffer.reserve(std::min(m_queue.size(), kBatch) * 256);
        for (; taken < m_queue.size() && taken < kBatch; ++taken) {
            const CLogContext *record = m_queue[taken];
            if (!record)
                continue;
            if (record->m_day != firstDay)
                break;
            buffer += '[';
            buffer += record->m_time;
            buffer += "] ";
            buffer += record->m_text;
            buffer += "\r\n";
        }
    }

    if (!buffer.empty() && !AppendToFile(path, buffer)) {
        CountFailure(); // the records stay queued for the next attempt
        return false;
    }
    m_failures.store(0, std::memory_order_relaxed);
    m_windowBytes += buffer.size();
    m_written += buffer.size();
    std::lock_guard<QueueLock> guard(m_queue.Mutex());
    EraseFrontLocked(taken);
    return true;
}

bool CLogContextHandle::PrepareFile(const std::string &time, const std::string &logDirectory, IClock &clock,
                                    std::string *path, bool rollOver, DayLock *lock)
{
    const std::size_t firstBlank = time.find(' ');
    const std::size_t lastBlank = time.rfind(' ');
    std::string date = firstBlank == std::string::npos ? std::string() : time.substr(0, firstBlank);
    std::string hms = lastBlank == std::string::npos ? std::string() : time.substr(lastBlank + 1);
    if (date.empty() || hms.empty()) {
        const CDateTime now(clock.Now());
        date = now.FormatDate();
        hms = now.FormatTime();
    }
    hms.erase(std::remove(hms.begin(), hms.end(), ':'), hms.end());

    const std::string dayDirectory = logDirectory + DayDirectoryName(date) + "/";
    if (!IsDirectoryPath(dayDirectory) && !CreateDirectoryPath(dayDirectory))
        return false;

    if (lock && !lock->Take(dayDirectory))
        return false;
    const std::string file = dayDirectory + m_name + ".log";
    if (IsDirectoryPath(file))
        return false;

    if (std::find(m_clearedDays.begin(), m_clearedDays.end(), dayDirectory) == m_clearedDays.end()) {
        // Copies an interrupted roll-over left: their records are in the plain file.
        // (With the day's lock held no other process is in the middle of one.)
        for (const std::string &name : DirectoryNames(dayDirectory))
            if (IsArchiveOf(name, m_name, kRollOverTemporarySuffix))
                DeleteFilePath(dayDirectory + name);
        m_clearedDays.push_back(dayDirectory);
    }

    if (FileExists(file)) {
        if (rollOver && GetFileLength(file) > kRollOverBytes) {
            if (ArchivedAlready(dayDirectory, m_name, file)) {
                // A roll-over was cut off after its rename: only the emptying is left.
                CreateEmptyFile(file);
            } else {
                const std::string target = RollOverName(dayDirectory, m_name, hms);
                const std::string temporary = target + kRollOverTemporarySuffix;
                if (CZip().CompressFile(file, temporary, true) && ::rename(temporary.c_str(), target.c_str()) == 0) {
                    SyncDirectory(dayDirectory);
                    m_written += static_cast<uint64_t>(GetFileLength(target));
                    CreateEmptyFile(file); // the batch then starts the emptied file
                } else {
                    // Keep appending to the long file and try again before the next
                    // batch; a partial copy would only be a second, broken version.
                    DeleteFilePath(temporary);
                }
            }
        }
    } else if (!CreateEmptyFile(file)) {
        return false;
    }
    *path = file;
    return true;
}

} // namespace Vant
