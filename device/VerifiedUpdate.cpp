#include "device/VerifiedUpdate.h"

#include "device/SaidText.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "device/Delivery.h"
#include "device/DeviceSearch.h"
#include "protocol/Json.h"

namespace {

// How often the search is looked at while an update is verified.
constexpr auto kVerifyPoll = std::chrono::milliseconds(20);

} // namespace

ExpectedSettings ExpectedAfter(const DeviceRecord &device, const NetworkSettings &edited)
{
    return ExpectedSettings{device.serialNo, device.mac, edited};
}

bool ShowsSettings(const DeviceRecord &answer, const ExpectedSettings &expected)
{
    if (answer.serialNo != expected.serialNo || answer.mac.compare(expected.mac, Qt::CaseInsensitive) != 0)
        return false;
    const NetworkSettings &want = expected.settings;
    if (answer.dhcp != want.dhcp)
        return false;
    return want.dhcp || (answer.address == want.address && answer.subnetMask == want.subnetMask &&
                         answer.gateway == want.gateway && answer.dns == want.dns);
}

QString UntrustedReason(const HeardDevice &answer, const ExpectedSettings &expected, const LocalSubnets &local,
                        int64_t otherSourceAgeMs)
{
    const QString &source = answer.source.address;
    if (source.isEmpty())
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "显示新设置的应答来源不明", "the answer showing the new settings came from an unknown source"));
    if (!expected.settings.dhcp && source != expected.settings.address)
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "显示新设置的应答来自 %1, 而非新地址 %2", "the answer showing the new settings came from %1, not from the new address %2"))
            .arg(source, expected.settings.address);
    if (expected.settings.dhcp) {
        if (source != answer.address)
            return Said(QT_TRANSLATE_NOOP3("DeviceText", "显示已启用DHCP的应答来自 %1, 而非设备声明的地址 %2", "the answer showing DHCP on came from %1, not from the address %2 it announces"))
                .arg(source, answer.address);
        if (!InLocalSubnet(local, answer.interfaceName, source))
            return Said(QT_TRANSLATE_NOOP3("DeviceText", "显示已启用DHCP的应答来自 %1, 不在 %2 的任何网段内", "the answer showing DHCP on came from %1, outside every subnet of %2"))
                .arg(source, answer.interfaceName);
    }
    if (otherSourceAgeMs >= 0 && otherSourceAgeMs <= static_cast<int64_t>(kIdentityWindowMs))
        return Said(QT_TRANSLATE_NOOP3("DeviceText", "另一个来源地址也以此设备的序列号和MAC应答", "another source address answers with the device's serial number and MAC"));
    return QString();
}

namespace {

// "02:77:b0:00:00:01" for any way of writing a MAC the devices use (either case,
// ':' or '-' between the pairs).
QString MacKey(const QString &mac)
{
    return mac.toLower().replace(QLatin1Char('-'), QLatin1Char(':'));
}

} // namespace

SourceMacCheck::SourceMacCheck() : SourceMacCheck(NeighbourHolder, NudgeNeighbourOf) {}

SourceMacCheck::SourceMacCheck(Holder holder, Nudge nudge) : m_holder(std::move(holder)), m_nudge(std::move(nudge)) {}

SourceMacCheck::Verdict SourceMacCheck::Check(const HeardDevice &answer, const ExpectedSettings &expected,
                                              QString &reason)
{
    // The entry for the source address on the interface that heard the answer.
    CommandTarget place{answer.source.address, answer.port};
    place.interfaceName = answer.interfaceName;
    place.localAddress = answer.localAddress;
    const QString mac = MacKey(expected.mac);
    const QString key = expected.serialNo + QLatin1Char('\n') + mac + QLatin1Char('\n') + place.address +
                        QLatin1Char('\n') + place.interfaceName;

    std::lock_guard<std::mutex> lock(m_lock);
    const Clock::time_point now = Clock::now();
    if (m_readings.size() >= kSourceMacReadingsKept) {
        for (auto it = m_readings.begin(); it != m_readings.end();)
            it = now - it->readAt > std::chrono::milliseconds(kSourceMacCheckMs) ? m_readings.erase(it) : std::next(it);
    }
    Reading &reading = m_readings[key];
    if (reading.readAt == Clock::time_point{} || now - reading.readAt >= std::chrono::milliseconds(kSourceMacCheckMs)) {
        reading.readAt = now;
        const QString holder = MacKey(m_holder(place));
        if (holder == mac) {
            reading.verdict = Verdict::Device;
            reading.reason.clear();
        } else if (holder.isEmpty()) {
            reading.verdict = Verdict::Unresolved;
            reading.reason = Said(QT_TRANSLATE_NOOP3("DeviceText", "显示已启用DHCP的应答来自 %1, 其在 %2 上的MAC尚未解析 (设备的MAC为 %3)",
                                                    "the answer showing DHCP on came from %1, whose MAC on %2 has not been "
                                                    "resolved (the device's MAC is %3)"))
                                 .arg(place.address, place.interfaceName, mac);
            if (reading.nudgedAt == Clock::time_point{} ||
                now - reading.nudgedAt >= std::chrono::milliseconds(kNeighbourNudgeMs)) {
                reading.nudgedAt = now;
                m_nudge(place);
            }
        } else {
            reading.verdict = Verdict::Other;
            reading.reason = Said(QT_TRANSLATE_NOOP3("DeviceText", "显示已启用DHCP的应答来自 %1, 其在 %2 上的MAC为 %3, 而非设备的MAC %4",
                                                    "the answer showing DHCP on came from %1, whose MAC on %2 is %3, not the "
                                                    "device's MAC %4"))
                                 .arg(place.address, place.interfaceName, holder, mac);
        }
    }
    reason = reading.reason;
    return reading.verdict;
}

UpdateOutcome SendVerifiedUpdate(DeviceSearch &search, const HeardDevice &device, const NetworkSettings &edited,
                                 int verifyTimeoutMs, const std::function<bool()> &stop)
{
    const ExpectedSettings expected = ExpectedAfter(device, edited);
    if (!edited.dhcp)
        search.AskEveryRound(edited.address);
    const LocalSubnets local = ReadLocalSubnets();
    QString untrusted;
    SourceMacCheck sourceMac;
    auto shown = [&] {
        bool seen = false;
        std::optional<HeardDevice> onLink; // with DHCP on: passed all but the MAC behind its source
        const auto now = static_cast<uint32_t>(search.ElapsedMs());
        search.WithDevices([&](DeviceList &devices) {
            const HeardDevice *heard = devices.Find(expected.serialNo, expected.mac);
            if (!heard || !ShowsSettings(*heard, expected))
                return;
            uint32_t otherTick = 0;
            const bool other = devices.OtherSourceTick(expected.serialNo, expected.mac, heard->source.address, otherTick);
            const QString why = UntrustedReason(*heard, expected, local, other ? int64_t{static_cast<uint32_t>(now - otherTick)} : int64_t{-1});
            if (!why.isEmpty())
                untrusted = why;
            else if (expected.settings.dhcp)
                onLink = *heard;
            else
                seen = true;
        });
        // The neighbour table is read outside the list's lock, and at most every
        // kSourceMacCheckMs however often this loop looks.
        if (onLink) {
            QString why;
            seen = sourceMac.Check(*onLink, expected, why) == SourceMacCheck::Verdict::Device;
            if (!seen)
                untrusted = why;
        }
        return seen;
    };

    Vant::CProtocalJson request;
    BuildUpdateRequest(device, edited, request);
    const QByteArray serialNo = DeviceBytes(device, TextMember::SerialNo);
    const CommandTarget target = TargetOf(device);
    std::atomic<bool> cancel{false};
    std::atomic<bool> answered{false};
    // Set once the request may leave; until then (a shared address waiting for its
    // turn) the verification's time has not begun, and no answer can show the request.
    std::atomic<bool> cleared{false};
    CommandResult result = CommandResult::NoAnswer;
    QString refusal; // the helper's, taken on the thread that asked it
    auto sent = std::chrono::steady_clock::now();
    // The exchange blocks for up to its time limit; the search is watched meanwhile,
    // so a lost answer does not hold up a change the search already shows.
    std::thread command([&] {
        result = SendDeviceCommand(target, request, serialNo, &cancel, &cleared);
        refusal = TakeLinkSendRefusal();
        answered.store(true, std::memory_order_release);
    });
    auto finish = [&](UpdateVerdict verdict) {
        cancel.store(true);
        command.join();
        UpdateOutcome outcome;
        outcome.verdict = verdict;
        outcome.command = result;
        outcome.refusal = refusal;
        if (verdict == UpdateVerdict::Confirmed)
            outcome.confirmedAfterMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
        else
            outcome.untrusted = untrusted;
        return outcome;
    };

    bool leaving = false;
    for (;;) {
        if (stop && stop())
            return finish(UpdateVerdict::Interrupted);
        if (!leaving && cleared.load(std::memory_order_acquire)) {
            leaving = true;
            sent = std::chrono::steady_clock::now();
        }
        if (answered.load(std::memory_order_acquire)) {
            if (result == CommandResult::ConnectFailed || result == CommandResult::Withheld)
                return finish(UpdateVerdict::ConnectFailed); // nothing was sent
            if (result == CommandResult::Failed)
                return finish(UpdateVerdict::Refused);
            if (verifyTimeoutMs <= 0)
                return finish(result == CommandResult::Succeeded ? UpdateVerdict::Confirmed
                                                                 : UpdateVerdict::NotConfirmed);
        }
        if (leaving && verifyTimeoutMs > 0 && shown())
            return finish(UpdateVerdict::Confirmed);
        if (leaving && verifyTimeoutMs > 0 &&
            std::chrono::steady_clock::now() >= sent + std::chrono::milliseconds(verifyTimeoutMs))
            return finish(UpdateVerdict::NotConfirmed);
        std::this_thread::sleep_for(kVerifyPoll);
    }
}
