#include "cli/Exposition.h"

#include <charconv>
#include <cstring>

#include "kit/UnsafeText.h"
#include "kit/KeyedHash.h"

namespace cli {

namespace {

constexpr std::size_t kCutMarkBytes = sizeof kCutMark - 1;
static_assert(kMaxLabelValueBytes > kCutMarkBytes + 4, "room for at least one character before the mark");

// Writes one code point as the label value shows it at `p`; returns the end. At
// most 4 bytes.
char *PutCodePoint(char *p, char32_t c)
{
    if (c == '\\' || c == '"') {
        *p++ = '\\';
        *p++ = static_cast<char>(c);
    } else if (c == '\n') {
        *p++ = '\\';
        *p++ = 'n';
    } else if (Vant::IsUnsafeCodePoint(c) || (c >= 0xd800 && c <= 0xdfff)) {
        *p++ = '\xEF'; // U+FFFD
        *p++ = '\xBF';
        *p++ = '\xBD';
    } else if (c < 0x80) {
        *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<char>(0xc0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        *p++ = static_cast<char>(0xe0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        *p++ = static_cast<char>(0x80 | (c & 0x3f));
    } else {
        *p++ = static_cast<char>(0xf0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        *p++ = static_cast<char>(0x80 | (c & 0x3f));
    }
    return p;
}

// Appends the label value of `text` to `out`.
void AppendLabelValue(std::string &out, const QString &text)
{
    // The value is made in a buffer that holds the bound and one more code point.
    char buffer[kMaxLabelValueBytes + 4];
    char *const begin = buffer;
    char *end = buffer;
    // Where the value may be cut: the end of the last whole character (or escape)
    // that still leaves room for the mark.
    char *cut = buffer;
    const QChar *p = text.constData();
    const QChar *const last = p + text.size();
    while (p < last) {
        char32_t c = (p++)->unicode();
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            *end++ = static_cast<char>(c); // printable ASCII, the usual case
        } else {
            if (QChar::isHighSurrogate(c) && p < last && p->isLowSurrogate())
                c = QChar::surrogateToUcs4(static_cast<char16_t>(c), (p++)->unicode());
            end = PutCodePoint(end, c);
        }
        const std::size_t length = static_cast<std::size_t>(end - begin);
        if (length > kMaxLabelValueBytes) {
            out.append(begin, cut);
            out += kCutMark;
            return;
        }
        if (length <= kMaxLabelValueBytes - kCutMarkBytes)
            cut = end;
    }
    out.append(begin, end);
}

void AppendLabel(std::string &out, const char *name, const QString &value)
{
    out += name;
    out += "=\"";
    AppendLabelValue(out, value);
    out += '"';
}

void AppendFamily(std::string &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void AppendNumber(std::string &out, long long value)
{
    out += std::to_string(value);
}

// A counter without labels. `name` ends in "_total"; OpenMetrics names the family
// without it.
void AppendCounter(std::string &out, ExpositionFormat format, const std::string &name, const char *help,
                   long long value)
{
    const std::string family =
        format == ExpositionFormat::OpenMetrics ? name.substr(0, name.size() - std::strlen("_total")) : name;
    AppendFamily(out, family.c_str(), "counter", help);
    out += name;
    out += ' ';
    AppendNumber(out, value);
    out += '\n';
}

void AppendSeconds(std::string &out, double seconds)
{
    char number[64];
    const auto printed = std::to_chars(number, number + sizeof number, seconds, std::chars_format::fixed, 3);
    if (printed.ec == std::errc())
        out.append(number, printed.ptr);
    else
        out += "NaN"; // no clock gives a time that long
}

} // namespace

std::string LabelValue(const QString &text)
{
    std::string out;
    AppendLabelValue(out, text);
    return out;
}

std::string FormatExposition(const MetricsSnapshot &snapshot, ExpositionFormat format)
{
    // The series key of each device written: its serial and mac labels. A key met a
    // second time (two values equal after the cut) leaves that device out.
    std::vector<std::string> keys;
    std::vector<const DeviceMetrics *> written;
    keys.reserve(snapshot.devices.size());
    written.reserve(snapshot.devices.size());
    kit::KeyedSet<std::string> seen;
    seen.reserve(snapshot.devices.size());
    for (const DeviceMetrics &device : snapshot.devices) {
        std::string key;
        AppendLabel(key, "serial", device.device->serialNo);
        key += ',';
        AppendLabel(key, "mac", device.device->mac);
        if (!seen.insert(key).second)
            continue;
        keys.push_back(std::move(key));
        written.push_back(&device);
    }

    std::string out;
    out.reserve(1024 + written.size() * 400);
    AppendFamily(out, "brenu_device_info", "gauge",
                 "Each device listed, as its latest answer describes it, the interface that heard it and its subnet (local, foreign or routed).");
    for (std::size_t i = 0; i < written.size(); ++i) {
        const DeviceMetrics &m = *written[i];
        out += "brenu_device_info{";
        out += keys[i];
        out += ",address=\"";
        AppendLabelValue(out, m.device->address);
        out += "\",port=\"";
        AppendNumber(out, m.device->port);
        out += m.device->dhcp ? "\",dhcp=\"on\"," : "\",dhcp=\"off\",";
        AppendLabel(out, "mask", m.device->subnetMask);
        out += ',';
        AppendLabel(out, "gateway", m.device->gateway);
        out += ',';
        AppendLabel(out, "dns", m.device->dns);
        out += ',';
        AppendLabel(out, "interface", m.device->interfaceName);
        // Where it lies as seen from here: "routed" when heard through a search range.
        out += m.device->routed ? ",subnet=\"routed\"" : m.device->foreignSubnet ? ",subnet=\"foreign\"" : ",subnet=\"local\"";
        out += "} 1\n";
    }

    AppendFamily(out, "brenu_device_up", "gauge",
                 "1 while the device answered within the stale time, else 0 (it stays listed).");
    for (std::size_t i = 0; i < written.size(); ++i) {
        out += "brenu_device_up{";
        out += keys[i];
        out += written[i]->up ? "} 1\n" : "} 0\n";
    }

    AppendFamily(out, "brenu_device_last_seen_timestamp_seconds", "gauge",
                 "When the device last answered, in seconds since 1970-01-01 UTC.");
    for (std::size_t i = 0; i < written.size(); ++i) {
        out += "brenu_device_last_seen_timestamp_seconds{";
        out += keys[i];
        out += "} ";
        AppendSeconds(out, written[i]->lastSeenUnixS);
        out += '\n';
    }

    AppendFamily(out, "brenu_device_conflict", "gauge",
                 "1 for each conflict of the device: kind \"serial\" (its serial number answered by several "
                 "devices) or \"address\" (its address answered by several serial numbers).");
    for (std::size_t i = 0; i < written.size(); ++i) {
        for (const QString &kind : written[i]->conflicts) {
            out += "brenu_device_conflict{";
            out += keys[i];
            out += ',';
            AppendLabel(out, "kind", kind);
            out += "} 1\n";
        }
    }

    AppendFamily(out, "brenu_devices", "gauge", "Devices listed.");
    out += "brenu_devices ";
    AppendNumber(out, snapshot.devicesListed);
    out += '\n';
    AppendCounter(out, format, "brenu_search_rounds_total", "Search rounds since the exporter started.",
                  snapshot.searchRounds);
    AppendCounter(out, format, "brenu_ignored_answers_total", "Answers of devices left out because the list was full.",
                  snapshot.ignoredAnswers);
    AppendCounter(out, format, "brenu_devices_forgotten_total",
                  "Devices dropped from the list after being silent for --forget-after.", snapshot.devicesForgotten);
    if (!snapshot.sendErrors.empty()) {
        const char *name = "brenu_search_send_errors_total";
        AppendFamily(out, format == ExpositionFormat::OpenMetrics ? "brenu_search_send_errors" : name, "counter",
                     "Search requests the system refused to send since the exporter started, by cause (errno).");
        for (const auto &[cause, count] : snapshot.sendErrors) {
            out += name;
            out += '{';
            AppendLabel(out, "cause", QString::fromStdString(cause));
            out += "} ";
            AppendNumber(out, count);
            out += '\n';
        }
    }
    AppendFamily(out, "brenu_build_info", "gauge", "The version of brenu-search writing these metrics.");
    out += "brenu_build_info{version=\"" BRENU_SEARCH_VERSION "\"} 1\n";
    if (snapshot.textfile) {
        AppendCounter(out, format, "brenu_textfile_writes_total", "Metrics files written, this one included.",
                      snapshot.textfileWrites);
        AppendCounter(out, format, "brenu_textfile_write_errors_total",
                      "Metrics files that could not be written (each is tried again the next round).",
                      snapshot.textfileWriteErrors);
        AppendFamily(out, "brenu_last_write_timestamp_seconds", "gauge",
                     "When this metrics file was written, in seconds since 1970-01-01 UTC.");
        out += "brenu_last_write_timestamp_seconds ";
        AppendSeconds(out, snapshot.writeUnixS);
        out += '\n';
    }
    if (format == ExpositionFormat::OpenMetrics)
        out += "# EOF\n";
    return out;
}

} // namespace cli
