#include "device/Delivery.h"

#include <QCoreApplication>

#include <net/if.h>

#include <chrono>
#include <thread>

#include "device/Ipv4Text.h"
#include "device/SaidText.h"
#include "linksend/LinkSend.h"
#include "protocol/UdpClient.h"
#include "transport/LinuxLinkSend.h"

namespace {

std::atomic<DeliveryPreference> g_preference{DeliveryPreference::Auto};

// The status with which brenu-link-send refused the last request this thread handed
// it; kSent when it sent it, or none was handed.
thread_local int t_linkSendStatus = linksend::kSent;

// What a refusal of the helper means, for the operator, in the reader's language.
QString LinkSendRefusalText(int status)
{
    switch (status) {
    case linksend::kSent: return {};
    case linksend::kBadMac:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "设备的 MAC 地址不是单播地址", "the device's MAC is no unicast MAC"));
    case linksend::kBadDestination:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "设备地址不是其网卡某一网段内的主机",
                                       "the device's address is no host of a subnet of its interface"));
    case linksend::kBadInterface:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "网卡已不存在或不是以太网卡",
                                       "the interface is gone or is no Ethernet interface"));
    case linksend::kForeignSource:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "命令套接字的地址不在设备的网卡上",
                                       "the command socket's address is not on the device's interface"));
    case linksend::kBadSocket:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "命令套接字无法交给 brenu-link-send",
                                       "the command socket could not be handed to brenu-link-send"));
    case linksend::kBadPayload:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "请求超出一个帧的长度", "the request does not fit one frame"));
    case linksend::kNoPermission:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "brenu-link-send 缺少 cap_net_raw 能力",
                                       "brenu-link-send lacks the capability cap_net_raw"));
    case linksend::kSendFailed:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "内核拒绝发送该帧", "the kernel refused the frame"));
    case -1:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "无法运行 brenu-link-send", "brenu-link-send could not be run"));
    default:
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "brenu-link-send 失败 (状态 %1)",
                                       "brenu-link-send failed (status %1)"))
            .arg(status);
    }
}

struct Place {
    uint32_t address = 0;
    uint32_t local = 0;
    int ifindex = 0;
};

bool PlaceOf(const CommandTarget &target, Place &place)
{
    Ipv4 address = 0, local = 0;
    if (!ParseIpv4(target.address, address))
        return false;
    ParseIpv4(target.localAddress, local);
    place.address = address;
    place.local = local;
    place.ifindex = static_cast<int>(if_nametoindex(target.interfaceName.toUtf8().constData()));
    return place.ifindex > 0;
}

} // namespace

void SetDeliveryPreference(DeliveryPreference preference)
{
    g_preference = preference;
}

DeliveryWay SharedAddressWay()
{
    switch (g_preference.load()) {
    case DeliveryPreference::Mac: return DeliveryWay::Mac;
    case DeliveryPreference::Neighbour: return DeliveryWay::Neighbour;
    case DeliveryPreference::Auto: break;
    }
    return LinkSendUsable() ? DeliveryWay::Mac : DeliveryWay::Neighbour;
}

QString TakeLinkSendRefusal()
{
    const int status = t_linkSendStatus;
    t_linkSendStatus = linksend::kSent;
    return LinkSendRefusalText(status);
}

const char *DeliveryWayName(DeliveryWay way)
{
    return way == DeliveryWay::Mac ? "by MAC (brenu-link-send)" : "one at a time by the neighbour table";
}

QString DeliveryWayText(DeliveryWay way)
{
    return way == DeliveryWay::Mac ? QCoreApplication::translate("Delivery", "按MAC地址发送 (brenu-link-send)")
                                   : QCoreApplication::translate("Delivery", "按邻居表逐台发送");
}

QString NeighbourHolder(const CommandTarget &target)
{
    Place place;
    if (!PlaceOf(target, place))
        return {};
    return QString::fromStdString(NeighbourMac(place.address, place.ifindex));
}

void NudgeNeighbourOf(const CommandTarget &target)
{
    Place place;
    if (PlaceOf(target, place) && place.local)
        NudgeNeighbour(place.address, ProbeInterface{place.local, place.ifindex});
}

CommandResult PrepareExactDelivery(const CommandTarget &target, QUdpClient &client, const std::atomic<bool> *cancel,
                                   int waitMs)
{
    Place place;
    if (!PlaceOf(target, place))
        return CommandResult::ConnectFailed;
    const std::string mac = target.mac.toLower().replace(QLatin1Char('-'), QLatin1Char(':')).toStdString();
    const uint16_t port = static_cast<uint16_t>(target.port);

    // The socket's empty keep-alive would go by the neighbour table to whichever
    // device holds the address: an exactly delivered request goes without it.
    client.SetKeepAlive(false);
    if (SharedAddressWay() == DeliveryWay::Mac) {
        client.SetRouteChooser([place, mac, port](const std::string &frame, int socket) {
            const int status = RunLinkSend(place.ifindex, mac, place.address, port, socket, frame);
            t_linkSendStatus = status;
            return status == linksend::kSent ? QUdpClient::Route::SentElsewhere : QUdpClient::Route::Withheld;
        });
        return CommandResult::Succeeded;
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    Clock::time_point nudged{};
    while (NeighbourMac(place.address, place.ifindex) != mac) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline || (cancel && cancel->load()))
            return CommandResult::Withheld;
        if (place.local && now - nudged >= std::chrono::milliseconds(kNeighbourNudgeMs)) {
            NudgeNeighbour(place.address, ProbeInterface{place.local, place.ifindex});
            nudged = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    client.SetRouteChooser([place, mac](const std::string &, int) {
        return NeighbourMac(place.address, place.ifindex) == mac ? QUdpClient::Route::Socket
                                                                 : QUdpClient::Route::Withheld;
    });
    return CommandResult::Succeeded;
}
