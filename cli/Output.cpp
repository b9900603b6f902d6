#include "cli/Output.h"

#include "kit/UnsafeText.h"

#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>

#include "device/CsvField.h"
#include "protocol/RapidJson.h"

namespace cli {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void WriteText(JsonWriter &writer, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    writer.String(bytes.constData(), static_cast<rapidjson::SizeType>(bytes.size()));
}

void WriteDevice(JsonWriter &writer, const ListedDevice &device)
{
    writer.StartObject();
    writer.Key("serialNo");
    WriteText(writer, device.serialNo);
    writer.Key("address");
    WriteText(writer, device.address);
    writer.Key("port");
    writer.Int(device.port);
    writer.Key("dhcp");
    writer.Bool(device.dhcp);
    writer.Key("subnetMask");
    WriteText(writer, device.subnetMask);
    writer.Key("gateway");
    WriteText(writer, device.gateway);
    writer.Key("dns");
    WriteText(writer, device.dns);
    writer.Key("mac");
    WriteText(writer, device.mac);
    writer.Key("description");
    WriteText(writer, device.description);
    writer.Key("interface");
    WriteText(writer, device.interfaceName);
    writer.Key("localAddress");
    WriteText(writer, device.localAddress);
    writer.Key("subnet");
    writer.String(device.routed ? "routed" : device.foreignSubnet ? "foreign" : "local");
    writer.Key("source");
    WriteText(writer, device.source.address.isEmpty()
                          ? QString()
                          : device.source.address + QLatin1Char(':') + QString::number(device.source.port));
    writer.Key("conflict");
    writer.StartArray();
    for (const QString &kind : device.conflict)
        WriteText(writer, kind);
    writer.EndArray();
    // Texts whose bytes were not UTF-8 (shown decoded as GB18030): only when there are.
    if (const QStringList notUtf8 = NotUtf8Members(device); !notUtf8.isEmpty()) {
        writer.Key("notUtf8");
        writer.StartArray();
        for (const QString &member : notUtf8)
            WriteText(writer, member);
        writer.EndArray();
    }
    writer.EndObject();
}

void WriteOverflow(JsonWriter &writer, const Overflow &overflow)
{
    writer.StartObject();
    writer.Key("overflow");
    writer.Bool(true);
    writer.Key("limit");
    writer.Int(overflow.limit);
    writer.Key("ignoredAnswers");
    writer.Int64(overflow.ignoredAnswers);
    writer.EndObject();
}


QString DhcpWord(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

// The nine cells of a device in the window's column order.
QStringList Cells(const DeviceRecord &device)
{
    return {device.serialNo, device.address, QString::number(device.port), DhcpWord(device.dhcp),
            device.subnetMask, device.gateway, device.dns, device.mac, device.description};
}

QString Pad(const QString &text, int width, bool right)
{
    const QString fill(qMax(0, width - TextColumns(text)), QLatin1Char(' '));
    return right ? fill + text : text + fill;
}

// One line per device of the listing that shares its serial number or address with
// another, or lies in a foreign subnet (terminal-safe).
std::string Notes(const std::vector<ListedDevice> &devices)
{
    std::string out;
    for (const ListedDevice &device : devices) {
        QStringList notes;
        if (device.conflict.contains("serial"))
            notes << "another device answers with this serial number";
        if (device.conflict.contains("address"))
            notes << "another serial number answers from this address";
        if (device.conflict.contains("identity"))
            notes << "another source address answers with this serial number and MAC (" +
                         TerminalText(device.otherSources.join(", ")) + "); commands need --at";
        if (AnnouncedElsewhere(device))
            notes << "the answer came from " + TerminalText(device.source.address) +
                         "; commands go to the announced address";
        if (device.foreignSubnet)
            notes << "outside every subnet of " + TerminalText(device.interfaceName) + ", reached on-link";
        if (device.routed)
            notes << "heard through a search range, reached through a router";
        if (!notes.isEmpty())
            out += Utf8("Note: " + TerminalText(device.serialNo) + " (" + TerminalText(device.mac) + ", " +
                        TerminalText(device.address) + "): " + notes.join("; ")) +
                   "\n";
    }
    return out;
}

std::string Table(const std::vector<ListedDevice> &devices, const Overflow *overflow)
{
    const QStringList header = {"SERIAL NUMBER", "IPV4 ADDRESS", "PORT", "DHCP", "SUBNET MASK",
                                "GATEWAY",       "DNS SERVER",   "MAC",  "DESCRIPTION"};
    std::vector<QStringList> rows{header};
    for (const ListedDevice &device : devices) {
        QStringList cells = Cells(device);
        for (QString &cell : cells)
            cell = TerminalText(cell);
        rows.push_back(cells);
    }
    std::vector<int> widths(header.size(), 0);
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], TextColumns(row[i]));
    std::string out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            // The description is last: it is not padded.
            line += last ? row[i] : Pad(row[i], widths[i], i == 2) + "  ";
        }
        out += Utf8(line) + "\n";
    }
    out += Notes(devices);
    if (overflow)
        out += "More devices answered than a listing holds (" + std::to_string(overflow->limit) + "); " +
               std::to_string(overflow->ignoredAnswers) + " answers of further devices were not listed.\n";
    return out;
}

std::string Csv(const std::vector<ListedDevice> &devices, bool toTerminal)
{
    std::string out = "serialNo,address,port,dhcp,subnetMask,gateway,dns,mac,description\r\n";
    for (const ListedDevice &device : devices) {
        QStringList cells = Cells(device);
        cells[3] = device.dhcp ? QStringLiteral("true") : QStringLiteral("false");
        for (QString &cell : cells)
            cell = CsvField(toTerminal ? TerminalText(cell) : cell);
        out += Utf8(cells.join(QLatin1Char(','))) + "\r\n";
    }
    return out;
}

} // namespace

bool Output::ReaderGone()
{
    if (m_closed)
        return true;
    // A pipe's write end reports POLLERR once its read end is closed, whatever events
    // are asked for; a terminal or a file never does.
    pollfd out{STDOUT_FILENO, 0, 0};
    if (poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0)
        m_closed = true;
    return m_closed;
}

std::string AsciiOnly(const std::string &utf8, bool jsonEscapes)
{
    std::string out;
    out.reserve(utf8.size());
    const QString text = QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size())); // bad bytes: U+FFFD
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (jsonEscapes) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(unit)); // surrogates: one escape each
            out += escape;
        } else if (!c.isLowSurrogate()) {
            out += '?'; // one mark per character, a pair of surrogates included
        }
    }
    return out;
}

bool CallerLocaleIsUtf8()
{
    const char *previous = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = previous ? previous : "C";
    bool utf8 = false;
    if (std::setlocale(LC_CTYPE, "")) {
        const std::string codeset = nl_langinfo(CODESET);
        utf8 = codeset == "UTF-8" || codeset == "utf8";
    }
    std::setlocale(LC_CTYPE, saved.c_str());
    return utf8;
}

bool Output::Write(const std::string &raw)
{
    if (m_closed || m_failed)
        return false;
    const std::string ascii = m_ascii == Ascii::Off ? std::string() : AsciiOnly(raw, m_ascii == Ascii::JsonEscapes);
    const std::string &text = m_ascii == Ascii::Off ? raw : ascii;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        m_errno = n < 0 ? errno : EIO;
        if (m_errno == EPIPE)
            m_closed = true;
        else
            m_failed = true;
        return false;
    }
    return true;
}

std::string DeviceJson(const ListedDevice &device)
{
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    WriteDevice(writer, device);
    return Vant::EscapeUnsafeInJson(std::string_view(buffer.GetString(), buffer.GetSize()));
}

std::string FormatListing(const std::vector<ListedDevice> &devices, Format format, const Overflow *overflow,
                          bool toTerminal)
{
    switch (format) {
    case Format::Table:
        return Table(devices, overflow);
    case Format::Csv:
        return Csv(devices, toTerminal);
    case Format::Jsonl: {
        std::string out;
        for (const ListedDevice &device : devices)
            out += DeviceJson(device) + "\n";
        if (overflow) {
            rapidjson::StringBuffer buffer;
            JsonWriter writer(buffer);
            WriteOverflow(writer, *overflow);
            out += std::string(buffer.GetString(), buffer.GetSize()) + "\n";
        }
        return out;
    }
    case Format::Json:
    case Format::Prometheus: // never a listing's format
    case Format::OpenMetrics:
        break;
    }
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartArray();
    for (const ListedDevice &device : devices)
        WriteDevice(writer, device);
    if (overflow)
        WriteOverflow(writer, *overflow);
    writer.EndArray();
    return Vant::EscapeUnsafeInJson(std::string_view(buffer.GetString(), buffer.GetSize())) + "\n";
}

namespace {

const char *EventName(DeviceEvent::Kind kind)
{
    switch (kind) {
    case DeviceEvent::Appeared:
        return "appeared";
    case DeviceEvent::Changed:
        return "changed";
    case DeviceEvent::Silent:
        return "silent";
    case DeviceEvent::Back:
        return "back";
    case DeviceEvent::Forgotten:
        return "forgotten";
    case DeviceEvent::Overflow:
        break;
    }
    return "overflow";
}

QString MemberText(const DeviceRecord &device, const QString &member)
{
    if (member == "address")
        return device.address;
    if (member == "port")
        return QString::number(device.port);
    if (member == "dhcp")
        return DhcpWord(device.dhcp);
    if (member == "subnetMask")
        return device.subnetMask;
    if (member == "gateway")
        return device.gateway;
    if (member == "dns")
        return device.dns;
    if (member == "mac")
        return device.mac;
    return device.description;
}

} // namespace

std::string FormatEvent(const DeviceEvent &event, Format format, const QString &time, int limit)
{
    if (format == Format::Table) {
        QString line = time + "  " + QString::fromLatin1(EventName(event.kind)).leftJustified(8) + "  ";
        if (event.kind == DeviceEvent::Overflow)
            return Utf8(line + QString("more devices answered than a listing holds (%1); further devices are not "
                                       "watched")
                                   .arg(limit)) +
                   "\n";
        line += TerminalText(event.device.serialNo) + "  " + TerminalText(event.device.address) + ":" +
                QString::number(event.device.port);
        if (!event.device.conflict.isEmpty())
            line += "  conflict=" + event.device.conflict.join(',');
        if (event.device.foreignSubnet)
            line += "  subnet=foreign";
        if (event.device.routed)
            line += "  subnet=routed";
        if (event.kind == DeviceEvent::Changed)
            for (const QString &member : event.changed)
                line += "  " + member + "=" + TerminalText(MemberText(event.device, member));
        return Utf8(line) + "\n";
    }
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("time");
    WriteText(writer, time);
    writer.Key("event");
    writer.String(EventName(event.kind));
    if (event.kind == DeviceEvent::Overflow) {
        writer.Key("limit");
        writer.Int(limit);
    } else {
        writer.Key("serialNo");
        WriteText(writer, event.device.serialNo);
        if (event.kind == DeviceEvent::Changed) {
            writer.Key("changed");
            writer.StartArray();
            for (const QString &member : event.changed)
                WriteText(writer, member);
            writer.EndArray();
        }
        writer.Key("device");
        WriteDevice(writer, event.device);
    }
    writer.EndObject();
    return Vant::EscapeUnsafeInJson(std::string_view(buffer.GetString(), buffer.GetSize())) + "\n";
}

std::string FormatDroppedEvents(long long dropped, Format format, const QString &time)
{
    if (format == Format::Table)
        return Utf8(time) + "  dropped   " + std::to_string(dropped) + " events (output too slow)\n";
    return "{\"time\":\"" + Utf8(time) + "\",\"event\":\"dropped\",\"count\":" + std::to_string(dropped) + "}\n";
}

QString TerminalText(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (uint c : text.toUcs4()) {
        if (Vant::IsUnsafeCodePoint(c) || wcwidth(static_cast<wchar_t>(c)) < 0)
            safe += QLatin1Char('?');
        else {
            const char32_t point = c;
            safe += QString::fromUcs4(&point, 1);
        }
    }
    return safe;
}

int TextColumns(const QString &text)
{
    int columns = 0;
    for (uint c : text.toUcs4()) {
        const int width = wcwidth(static_cast<wchar_t>(c));
        columns += width < 0 ? 1 : width;
    }
    return columns;
}

std::string Utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace cli
