#pragma once
// The device list as metrics, in one of two formats (ExpositionFormat):
//  - Prometheus: the text exposition format 0.0.4, what node_exporter's textfile
//    collector and `promtool check metrics` read; a counter family is named like
//    its sample, brenu_search_rounds_total;
//  - OpenMetrics 1.0: a counter family is named without the suffix
//    (brenu_search_rounds) and its sample with it; the text ends with "# EOF".
// One text holds every metric family once, each with its HELP and TYPE lines and
// all its samples together:
//
//   brenu_device_info{serial,mac,address,port,dhcp,mask,gateway,dns,interface} 1
//   brenu_device_up{serial,mac}                    1 answered within the stale time, else 0
//   brenu_device_last_seen_timestamp_seconds{serial,mac}
//   brenu_device_conflict{serial,mac,kind}         1 per conflict ("serial", "address")
//   brenu_devices                                  devices listed
//   brenu_search_rounds_total                      search rounds since the start
//   brenu_ignored_answers_total                    answers of devices beyond the row cap
//   brenu_devices_forgotten_total                  devices dropped after --forget-after
//   brenu_build_info{version}                      1
//   brenu_search_send_errors_total{cause}          failed search sends by errno name
//                                                  (only causes seen; cli/SendErrorTally.h)
// and, when the text goes to a file (--textfile), about that file:
//   brenu_textfile_writes_total                    files written, this one included
//   brenu_textfile_write_errors_total              writes that failed before this one
//   brenu_last_write_timestamp_seconds             when this file was written
//
// Every label value is device text, so untrusted. It is written as the format
// requires (backslash, double quote and line feed escaped as \\, \" and \n); the
// other characters kit/UnsafeText.h calls unsafe become U+FFFD, so a dashboard or a
// terminal showing the value cannot be steered by it; a value longer than
// kMaxLabelValueBytes is cut at a character boundary and ends with kCutMark. Two
// devices whose label sets become equal that way would make the whole file invalid
// (a series may appear once): the first in the given order is written, the other
// left out.
#include <QString>
#include <QStringList>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "device/DeviceList.h"

namespace cli {

// The longest label value written, in UTF-8 bytes, the mark included. Real values
// are short (a serial number of a dozen characters, a MAC of 17, dotted addresses of
// at most 15, an interface name of at most 15), but a device's text is whatever it
// sends: up to a 64 KiB datagram per field. The exposition repeats serial and MAC
// in four families, every sample is kept by every Prometheus server the site
// federates to, and servers refuse whole scrapes above a configured label length.
// 64 bytes holds every real value with room to spare (it is brenu-search's own bound
// on a serial number typed by the operator) and keeps a forged device's lines to
// about 1.2 KiB: a full list of forgeries with every label cut and every conflict
// makes a file of about 23 MiB, against 6.7 MiB for 20,000 real devices
// (bench/metrics_textfile.cpp).
constexpr std::size_t kMaxLabelValueBytes = 64;
// Ends a cut label value: U+2026, three bytes in UTF-8.
constexpr char kCutMark[] = "\xE2\x80\xA6";

// One device as the exposition shows it. `device` (its answer and the interface
// that heard it) is the list's own: the snapshot is taken and written while the list
// is locked, so no text is copied and none is shared with the threads that update
// the list.
struct DeviceMetrics {
    const HeardDevice *device = nullptr;
    double lastSeenUnixS = 0;   // its last answer, seconds since 1970 (UTC)
    bool up = false;            // answered within the stale time
    QStringList conflicts;      // the kinds of conflict it is in ("serial", "address")
};

struct MetricsSnapshot {
    std::vector<DeviceMetrics> devices; // in the order they are written
    long long devicesListed = 0;
    long long searchRounds = 0;
    long long ignoredAnswers = 0;
    long long devicesForgotten = 0;     // dropped after --forget-after
    std::map<std::string, long long> sendErrors; // failed search sends by cause (errno name)
    bool textfile = false;              // written to a file: the textfile families follow
    long long textfileWrites = 0;       // successful writes, this one included
    long long textfileWriteErrors = 0;
    double writeUnixS = 0;              // when this text is written, seconds since 1970
};

enum class ExpositionFormat { Prometheus, OpenMetrics };

// A label value as written between the double quotes (see the file comment).
std::string LabelValue(const QString &text);
// The whole exposition text, ending with a line feed.
std::string FormatExposition(const MetricsSnapshot &snapshot,
                             ExpositionFormat format = ExpositionFormat::Prometheus);

} // namespace cli
