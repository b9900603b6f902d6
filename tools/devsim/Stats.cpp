#include "Stats.h"

#include <ctime>

namespace devsim {

int64_t MonotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string Stats::Summary() const
{
    auto n = [](uint64_t v) { return std::to_string(v); };
    auto a = [this](AnswerKind k) { return std::to_string(answers[static_cast<int>(k)]); };
    uint64_t searchAnswers =
        answers[static_cast<int>(AnswerKind::SearchUnicast)] + answers[static_cast<int>(AnswerKind::SearchBroadcast)];
    return "summary received=" + n(datagramsReceived) + " empty=" + n(emptyDatagrams) +
           " searches=" + n(searchRequests) + " updates=" + n(updateRequests) + " reboots=" + n(rebootRequests) +
           " ignored=" + n(ignoredRequests) + " unknown_serial=" + n(unknownSerial) + " foreign=" + n(foreignRequests) +
           " while_rebooting=" + n(whileRebooting) + " unanswered=" + n(unanswered) +
           " search_answers=" + n(searchAnswers) + " search_unicast=" + a(AnswerKind::SearchUnicast) +
           " search_broadcast=" + a(AnswerKind::SearchBroadcast) + " update_answers=" + a(AnswerKind::Update) +
           " reboot_answers=" + a(AnswerKind::Reboot) + " keepalive_echoes=" + a(AnswerKind::KeepAlive) +
           " datagrams_sent=" + n(datagramsSent) + " send_errors=" + n(sendErrors) +
           " first_search_ns=" + std::to_string(firstSearchNs) + " last_answer_ns=" + std::to_string(lastAnswerNs);
}

} // namespace devsim
