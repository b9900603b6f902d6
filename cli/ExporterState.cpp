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

void Text(Writer &writer, const char *key, const QString &text)
{
    writer.Key(key);
    const QByteArray utf8 = text.left(kMaxStateTextChars).toUtf8();
    writer.String(utf8.constData(), static_cast<rapidjson::SizeType>(utf8.size()));
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
    return SaveFileAtomically(path, QByteArray(buffer.GetString(), static_cast<int>(buffer.GetSize())));
}

int RestoreExporterState(const QString &path, DeviceSearch &search, double nowUnixS, double forgetAfterS,
                         std::string *problem)
{
    QFile file(path);
    if (!file.exists())
        return 0; // the first start
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString().toStdString();
        return 0;
    }
    if (static_cast<std::size_t>(file.size()) > kMaxStateBytes) {
        *problem = "larger than " + std::to_string(kMaxStateBytes >> 20) + " MiB";
        return 0;
    }
    const QByteArray bytes = file.read(static_cast<qint64>(kMaxStateBytes) + 1);
    rapidjson::Document document;
    document.Parse(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("devices") ||
        !document["devices"].IsArray()) {
        *problem = "not a state file of this program";
        return 0;
    }
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
