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

// Prometheus and OpenMetrics: watch only, the metrics (cli/MetricsWatch.h), in the
// Prometheus text format 0.0.4 or in OpenMetrics 1.0.
enum class Format { Table, Json, Jsonl, Csv, Prometheus, OpenMetrics };

// Writes all of `text` to standard output. False when it could not: closed() then
// tells whether the reader went away (EPIPE), which ends the program quietly.
class Output {
public:
    // What non-ASCII text becomes when the caller's locale cannot show UTF-8 (its
    // character set is not UTF-8): escapes in JSON, '?' in other text.
    enum class Ascii { Off, JsonEscapes, Replace };
    void SetAscii(Ascii ascii) { m_ascii = ascii; }
    bool Write(const std::string &text);
    bool closed() const { return m_closed; }
    // True (and closed() from then on) when standard output is a pipe whose reader has
    // gone, noticed without writing: a command with nothing to print for a while (watch
    // on a quiet network) still ends soon after `| head -1` does.
    bool ReaderGone();
    bool failed() const { return m_failed; }
    int error() const { return m_errno; }

private:
    Ascii m_ascii = Ascii::Off;
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

// The whole listing, one entry per device (devices sharing a serial number are
// separate entries). Table: a header line, one aligned line per device (control
// characters shown as '?'), then a "Note:" line for each device in a conflict or a
// foreign subnet; json: an array of device objects; jsonl: one object per line; csv:
// a header line and RFC 4180 records. When the listing overflowed, the table ends
// with a line saying so, json and jsonl end with an object
// {"overflow":true,"limit":N,"ignoredAnswers":M}; csv keeps its records only.
// JSON text escapes the characters kit/UnsafeText.h names as "\uXXXX"; csv to a
// terminal (toTerminal) shows them as '?' like the table. CSV cells a spreadsheet would
// take for formulas are led by an apostrophe (device/CsvField.h).
std::string FormatListing(const std::vector<ListedDevice> &devices, Format format, const Overflow *overflow,
                          bool toTerminal = false);

// One device as a JSON object: the members named and typed as the devices send
// them, then "interface" and "localAddress" (where it was heard), "subnet" ("local",
// "foreign" or "routed": heard through a search range) and "conflict" (an array of "serial", "address").
std::string DeviceJson(const ListedDevice &device);

// One watch event as one line: a JSON object (jsonl) or a readable line (table).
// `time` is the event's time stamp text.
std::string FormatEvent(const DeviceEvent &event, Format format, const QString &time, int limit);
// The line that reports events dropped because the main thread fell behind.
std::string FormatDroppedEvents(long long dropped, Format format, const QString &time);

// UTF-8 text in ASCII: every other character as a JSON escape ("\u4ED3", a pair
// of escapes above U+FFFF; valid in JSON, where such characters stand only in
// strings) or as '?'. A byte that starts no valid UTF-8 sequence counts as U+FFFD.
std::string AsciiOnly(const std::string &utf8, bool jsonEscapes);
// True when the locale the caller set (LANG, LC_ALL, LC_CTYPE) uses UTF-8; read
// once, before the program sets its own.
bool CallerLocaleIsUtf8();
// The UTF-8 bytes of a text (a NUL in it included).
std::string Utf8(const QString &text);

// A text made safe for a terminal: control characters, line and paragraph
// separators and bidirectional controls become '?'.
QString TerminalText(const QString &text);
// The number of terminal columns a (terminal-safe) text takes.
int TextColumns(const QString &text);

} // namespace cli
