#include "cli/MetricsWatch.h"

#include <QDateTime>
#include <QFileInfo>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "device/SaveFile.h"
#include "cli/Commands.h"
#include "cli/ExporterState.h"
#include "cli/ExitStatus.h"
#include "cli/Options.h"
#include "cli/SendErrorTally.h"
#include "cli/StopSignal.h"
#include "device/DeviceSearch.h"
#include "protocol/Searcher.h"

namespace cli {

namespace {

// One search round: the searchers send their request at the start and then every
// interval.
constexpr int64_t kRoundMs = QUdpCast::kSearchIntervalMs;
// How long after each request a round's metrics are written. Devices answer within
// milliseconds on a LAN; a second also lets in the answers of a slow or busy device
// and of a host whose searchers start late, and still publishes the round 4 s before
// the next request. Written at the request itself, a device answering every round
// would look a whole round old, and silent to any --stale-after below 5 s plus its
// answer's delay.
constexpr int64_t kAnswerWaitMs = 1000;
static_assert(kAnswerWaitMs < kRoundMs, "each round's metrics are written before the next request");
// How often the device set is saved with --state: every minute, so that a crash
// loses at most a minute of last-seen times, and a full list (tens of MB) is not
// rewritten every round.
constexpr long long kStateSaveRounds = 12;
// How often the loop looks at the stop flag and the clock.
constexpr auto kTick = std::chrono::milliseconds(100);

} // namespace

std::string CheckTextfile(const QString &path)
{
    const QFileInfo file(path);
    if (path.isEmpty() || file.fileName().isEmpty())
        return "--textfile needs a file name";
    if (file.isDir())
        return "--textfile '" + Utf8(path) + "' is a folder";
    const QByteArray folder = QFile::encodeName(file.absolutePath());
    if (access(folder.constData(), W_OK | X_OK) != 0)
        return "cannot write the folder of --textfile '" + Utf8(path) + "': " + std::strerror(errno);
    return "";
}

MetricsSnapshot SnapshotOf(const DeviceList &list, uint32_t tick, double nowUnixS, long long searchRounds)
{
    MetricsSnapshot snapshot;
    snapshot.devices.reserve(static_cast<std::size_t>(list.Count()));
    list.ForEach([&](const HeardDevice &heard, const DeviceList::DeviceState &state) {
        DeviceMetrics device;
        device.device = &heard;
        // Ticks are taken modulo 2^32, as the list takes them.
        device.lastSeenUnixS = nowUnixS - static_cast<double>(static_cast<uint32_t>(tick - state.lastTick)) / 1000.0;
        device.up = !state.silent;
        device.conflicts = state.conflict;
        snapshot.devices.push_back(std::move(device));
    });
    snapshot.devicesListed = list.Count();
    snapshot.searchRounds = searchRounds;
    snapshot.ignoredAnswers = list.IgnoredAnswers();
    return snapshot;
}

int ExportMetrics(const Invocation &invocation, DeviceSearch &search, Output &out)
{
    const bool toFile = !invocation.textfile.isEmpty();
    bool overflowed = false;
    QString lastFailure; // said once until a write succeeds again
    const ExpositionFormat format =
        invocation.format == Format::OpenMetrics ? ExpositionFormat::OpenMetrics : ExpositionFormat::Prometheus;
    long long writes = 0, writeErrors = 0, forgotten = 0;
    SendErrorTally sendErrors;
    const auto forgetAfterMs = static_cast<uint32_t>(invocation.forgetAfterS * 1000);
    int64_t nextWriteMs = kAnswerWaitMs;
    bool keepState = !invocation.statePath.isEmpty();
    auto wallNow = [] { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0; };
    if (keepState) {
        std::string problem;
        bool keepOff = false;
        RestoreExporterState(invocation.statePath, search, wallNow(), invocation.forgetAfterS, &problem, &keepOff);
        if (!problem.empty())
            Complain("cannot read the state '" + Utf8(invocation.statePath) + "': " + problem + "; starting empty");
        keepState = !keepOff;
    }
    QString lastStateFailure;
    auto saveState = [&] {
        const QString failure = SaveExporterState(invocation.statePath, search, wallNow());
        if (!failure.isEmpty() && failure != lastStateFailure)
            Complain("cannot save the state '" + Utf8(invocation.statePath) + "': " + Utf8(failure));
        lastStateFailure = failure;
    };
    FirewallHintReporter firewall;
    // The addresses waited for (RunWatch said so): each is said once when the search
    // takes it up; with no --address, the first address searched from at all.
    std::vector<std::string> awaited;
    bool awaitingAny = false;
    {
        const std::vector<std::string> searched = search.Group().SearchedAddresses();
        for (const std::string &address : invocation.searchFrom) {
            if (std::find(searched.begin(), searched.end(), address) == searched.end())
                awaited.push_back(address);
        }
        awaitingAny = invocation.searchFrom.empty() && searched.empty();
    }
    auto sayTakenUp = [&] {
        const std::vector<std::string> searched = search.Group().SearchedAddresses();
        if (awaitingAny && !searched.empty()) {
            awaitingAny = false;
            Complain("searching from " + searched.front() + " now");
        }
        for (auto it = awaited.begin(); it != awaited.end();) {
            if (std::find(searched.begin(), searched.end(), *it) == searched.end()) {
                ++it;
                continue;
            }
            Complain("searching from " + *it + " now");
            it = awaited.erase(it);
        }
    };
    // On standard output, a pipe whose reader has gone ends it within a tick, as it
    // ends watch's events.
    while (!StopSignal() && (toFile || !out.ReaderGone())) {
        std::this_thread::sleep_for(kTick);
        const int64_t nowMs = search.ElapsedMs();
        if (nowMs < nextWriteMs)
            continue;
        // A round missed while the output was blocked is not made up for.
        while (nextWriteMs <= nowMs)
            nextWriteMs += kRoundMs;
        const long long rounds = nowMs / kRoundMs + 1; // requests sent so far
        if (keepState && rounds % kStateSaveRounds == 0)
            saveState();

        // The list's silence rule with --stale-after as its threshold (the search was
        // made with it) decides which devices are up. The local subnets are read again
        // once a round, as watch's events read them.
        if (awaitingAny || !awaited.empty())
            sayTakenUp();
        search.RefreshLocalSubnets();
        search.MarkSilent();
        firewall.Round(search);
        forgotten += search.ForgetSilentFor(forgetAfterMs);
        sendErrors.Add(search.Group().SearcherStates());
        // The text is made under the list's lock (the snapshot points into the list);
        // answers wait for it, in the sockets' buffers, a few milliseconds per round.
        std::string text;
        long long ignoredAnswers = 0;
        search.WithDevices([&](DeviceList &list) {
            const double nowUnixS = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
            MetricsSnapshot snapshot = SnapshotOf(list, static_cast<uint32_t>(search.ElapsedMs()), nowUnixS, rounds);
            snapshot.devicesForgotten = forgotten;
            snapshot.sendErrors = sendErrors.Totals();
            snapshot.textfile = toFile;
            snapshot.textfileWrites = writes + 1; // seen only when this write succeeds
            snapshot.textfileWriteErrors = writeErrors;
            snapshot.writeUnixS = nowUnixS;
            ignoredAnswers = snapshot.ignoredAnswers;
            text = FormatExposition(snapshot, format);
        });
        if (ignoredAnswers > 0 && !overflowed) {
            overflowed = true;
            Complain("more devices answered than a listing holds (" + std::to_string(kMaxDeviceRows) +
                     "); the others are counted in brenu_ignored_answers_total");
        }
        if (!toFile) {
            if (!out.Write(text))
                break;
            continue;
        }
        const QString failure = SaveFileAtomically(
            invocation.textfile, QByteArray::fromRawData(text.data(), static_cast<int>(text.size())));
        ++(failure.isEmpty() ? writes : writeErrors);
        if (!failure.isEmpty() && failure != lastFailure)
            Complain("cannot write '" + Utf8(invocation.textfile) + "': " + Utf8(failure));
        else if (failure.isEmpty() && !lastFailure.isEmpty())
            Complain("'" + Utf8(invocation.textfile) + "' written again");
        lastFailure = failure;
    }
    if (keepState)
        saveState();
    if (out.closed())
        return overflowed ? kExitOverflow : kExitOk;
    if (out.failed()) {
        Complain(std::string("cannot write the output: ") + std::strerror(out.error()));
        return kExitDeviceFailed;
    }
    return overflowed ? kExitOverflow : kExitOk;
}

} // namespace cli
