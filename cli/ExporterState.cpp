#include "cli/ExporterState.h"

#include <QFile>

#include <algorithm>
#include <vector>

#include "device/DeviceSearch.h"
#include "device/SaveFile.h"
#include "protocol/RapidJson.h"

namespace cli {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

static_assert(static_cast<std::size_t>(kMaxDeviceRows) *
                      (kStateTextsPerDevice * kMaxStateTextBytes + kStateEntryOverheadBytes) <=
                  kMaxStateBytes,
              "the reader takes the largest state file the writer makes");

// How many bytes the writer puts down for `c` (UTF-16 code unit; a surrogate counts
// for its half of a 4-byte sequence): controls escape to \uXXXX at most, '"' and
// '\\' to two bytes.
int WrittenBytes(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x20)
        return 6;
    if (u == '"' || u == '\\')
        return 2;
    if (u < 0x80)
        return 1;
    if (u < 0x800)
        return 2;
    if (c.isSurrogate())
        return 2;
    return 3;
}

// `text` cut to kMaxStateTextChars code units and kMaxStateTextBytes written bytes,
// never between the halves of a surrogate pair.
QString StateText(const QString &text)
{
    int bytes = 0;
    int end = 0;
    while (end < text.size() && end < kMaxStateTextChars) {
        const int units = text[end].isHighSurrogate() && end + 1 < text.size() ? 2 : 1;
        int cost = 0;
        for (int i = 0; i < units; ++i)
            cost += WrittenBytes(text[end + i]);
        if (bytes + cost > kMaxStateTextBytes || end + units > kMaxStateTextChars)
            break;
        bytes += cost;
        end += units;
    }
    return text.left(end);
}

void Text(Writer &writer, const char *key, const QString &text)
{
    writer.Key(key);
    const QByteArray utf8 = StateText(text).toUtf8();
    writer.String(utf8.constData(), static_cast<rapidjson::SizeType>(utf8.size()));
}

// Moves a refused state file out of the way of the next save: "<path>.refused-<s>".
bool KeepAside(const QString &path, double nowUnixS, std::string *problem)
{
    const QString aside = path + QStringLiteral(".refused-") + QString::number(static_cast<long long>(nowUnixS));
    if (!QFile::exists(aside) && QFile::rename(path, aside)) {
        *problem += "; kept as '" + aside.toStdString() + "'";
        return true;
    }
    *problem += "; it could not be kept aside, so the state is not saved over it";
    return false;
}

QString Text(const rapidjson::Value &object, const char *key)
{
    const auto member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsString())
        return QString();
    return QString::fromUtf8(member->value.GetString(), static_cast<int>(member->value.GetStringLength()));
}

} // namespace

QString SaveExporterState(const QString &path, DeviceSearch &search, double nowUnixS)
{
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("devices");
    writer.StartArray();
    const auto tick = static_cast<uint32_t>(search.ElapsedMs());
    search.WithDevices([&](DeviceList &list) {
        list.ForEach([&](const HeardDevice &device, const DeviceList::DeviceState &state) {
            writer.StartObject();
            Text(writer, "serialNo", device.serialNo);
            Text(writer, "address", device.address);
            writer.Key("port");
            writer.Int(device.port);
            writer.Key("dhcp");
            writer.Bool(device.dhcp);
            Text(writer, "subnetMask", device.subnetMask);
            Text(writer, "gateway", device.gateway);
            Text(writer, "dns", device.dns);
            Text(writer, "mac", device.mac);
            Text(writer, "description", device.description);
            Text(writer, "interface", device.interfaceName);
            Text(writer, "localAddress", device.localAddress);
            writer.Key("lastSeen");
            // Ticks are taken modulo 2^32, as the list takes them.
            writer.Double(nowUnixS - static_cast<double>(static_cast<uint32_t>(tick - state.lastTick)) / 1000.0);
            writer.EndObject();
        });
    });
    writer.EndArray();
    writer.EndObject();
    // Never write what the next start would refuse (the bound above makes this a
    // safeguard, for a list with more devices than a state file holds).
    if (buffer.GetSize() > kMaxStateBytes)
        return QStringLiteral("the state would be larger than %1 MiB").arg(kMaxStateBytes >> 20);
    return SaveFileAtomically(path, QByteArray(buffer.GetString(), static_cast<int>(buffer.GetSize())));
}

int RestoreExporterState(const QString &path, DeviceSearch &search, double nowUnixS, double forgetAfterS,
                         std::string *problem, bool *keepOff)
{
    QFile file(path);
    if (!file.exists())
        return 0; // the first start
    // A refused file may still hold the only copy of the devices' state: it is kept.
    const auto refuse = [&](const std::string &why) {
        file.close();
        *problem = why;
        if (!KeepAside(path, nowUnixS, problem) && keepOff)
            *keepOff = true;
        return 0;
    };
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString().toStdString());
    if (static_cast<std::size_t>(file.size()) > kMaxStateBytes)
        return refuse("larger than " + std::to_string(kMaxStateBytes >> 20) + " MiB");
    const QByteArray bytes = file.read(static_cast<qint64>(kMaxStateBytes) + 1);
    rapidjson::Document document;
    document.Parse(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("devices") ||
        !document["devices"].IsArray())
        return refuse("not a state file of this program");
    struct Saved {
        DeviceRecord record;
        InterfaceAddress heardOn;
        double lastSeen = 0;
    };
    std::vector<Saved> saved;
    for (const rapidjson::Value &entry : document["devices"].GetArray()) {
        if (saved.size() >= static_cast<std::size_t>(kMaxDeviceRows))
            break;
        if (!entry.IsObject() || !entry.HasMember("lastSeen") || !entry["lastSeen"].IsNumber())
            continue;
        DeviceRecord record;
        record.serialNo = Text(entry, "serialNo");
        record.address = Text(entry, "address");
        record.port = entry.HasMember("port") && entry["port"].IsInt() ? entry["port"].GetInt() : 0;
        record.dhcp = entry.HasMember("dhcp") && entry["dhcp"].IsBool() && entry["dhcp"].GetBool();
        record.subnetMask = Text(entry, "subnetMask");
        record.gateway = Text(entry, "gateway");
        record.dns = Text(entry, "dns");
        record.mac = Text(entry, "mac");
        record.description = Text(entry, "description");
        const double lastSeen = entry["lastSeen"].GetDouble();
        const double ageS = nowUnixS - lastSeen;
        if (!IsCompleteRecord(record) || !(ageS >= 0 && ageS < forgetAfterS))
            continue;
        Saved device{record, InterfaceAddress{}, lastSeen};
        device.heardOn.address = Text(entry, "localAddress").toStdString();
        device.heardOn.device = Text(entry, "interface").toStdString();
        saved.push_back(std::move(device));
    }
    // Newest first: each goes before the ones restored so far (and before every
    // answer the search has heard already), so the list stays in answer order.
    std::sort(saved.begin(), saved.end(), [](const Saved &a, const Saved &b) { return a.lastSeen > b.lastSeen; });
    int restored = 0;
    const int64_t elapsedMs = search.ElapsedMs();
    search.WithDevices([&](DeviceList &list) {
        for (const Saved &device : saved) {
            const auto tick = static_cast<uint32_t>(elapsedMs - static_cast<int64_t>((nowUnixS - device.lastSeen) * 1000));
            if (list.NoteEarlier(device.record, device.heardOn, tick, static_cast<int64_t>(device.lastSeen)).outcome ==
                DeviceList::Heard::Added)
                ++restored;
        }
    });
    search.MarkSilent();
    return restored;
}

} // namespace cli
