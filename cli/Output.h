#pragma once
// What brenu-search prints: the device listing in its four formats, the events of
// `watch`, and the writing itself. Standard output is written with write(2); a closed
// pipe (EPIPE) ends the output quietly.
#include <QString>

#include <string>
#include <vector>

#include "device/DeviceRecord.h"
#include "device/DeviceList.h"

namespace cli {

// OpenMetrics: watch only, the Prometheus text exposition (cli/MetricsWatch.h).
enum class Format { Table, Json, Jsonl, Csv, OpenMetrics };

// Writes all of `text` to standard output. False when it could not: closed() then
// tells whether the reader went away (EPIPE), which ends the program quietly.
class Output {
public:
    bool Write(const std::string &text);
    bool closed() const { return m_closed; }
    bool failed() const { return m_failed; }
    int error() const { return m_errno; }

private:
    bool m_closed = false;
    bool m_failed = false;
    int m_errno = 0;
};

// The overflow of a listing: how many devices it holds at most and how many answers
// of further devices it left out.
struct Overflow {
    int limit = 0;
    long long ignoredAnswers = 0;
};

// The whole listing. Table: a header line and one aligned line per device (control
// characters shown as '?'); json: an array of device objects; jsonl: one object per
// line; csv: a header line and RFC 4180 records. When the listing overflowed, the
// table ends with a line saying so, json and jsonl end with an object
// {"overflow":true,"limit":N,"ignoredAnswers":M}; csv keeps its records only.
std::string FormatListing(const std::vector<DeviceRecord> &devices, Format format, const Overflow *overflow);

// One device as a JSON object, members named and typed as the devices send them.
std::string DeviceJson(const DeviceRecord &device);

// One watch event as one line: a JSON object (jsonl) or a readable line (table).
// `time` is the event's time stamp text.
std::string FormatEvent(const DeviceEvent &event, Format format, const QString &time, int limit);
// The line that reports events dropped because the main thread fell behind.
std::string FormatDroppedEvents(long long dropped, Format format, const QString &time);

// A text made safe for a terminal: control characters, line and paragraph
// separators and bidirectional controls become '?'.
QString TerminalText(const QString &text);
// The number of terminal columns a (terminal-safe) text takes.
int TextColumns(const QString &text);

} // namespace cli
