#pragma once
// AnswerQueue: the search answers on their way from the searchers' socket threads to
// the window's thread.
//
// A searcher thread reads each answer into a DeviceRecord and pushes it here; the
// push that finds the queue empty calls `wake`, which posts one call to the window's
// thread, and that call takes every record queued by then. So the window's thread
// gets one event per event-loop turn, whatever the number of answers, and never
// parses anything.
//
// The queue holds at most kMaxQueuedAnswers records. Answers beyond that are dropped
// and counted, and the first drop is reported once on the standard error: the queue
// fills only while the window's thread does not return to its event loop (a command
// waiting up to 10 s for a device) and answers keep coming.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/DeviceRecord.h"
#include "protocol/LocalAddresses.h"

// One answer as the window takes it: the record, and the local address entry
// (interface, subnet) of the searcher that heard it.
struct QueuedAnswer {
    DeviceRecord record;
    InterfaceAddress heardOn;
};

// The most answers waiting for the window. A command keeps the window's thread from
// its event loop for up to 10 s, two search rounds: a LAN of a few thousand devices
// sends under ten thousand answers meanwhile, and all of them wait. Beyond that only
// a host repeating answers faster than any LAN has devices fills the queue; a record
// costs about half a KiB with its texts, so the queue stays near 10 MiB at worst
// instead of growing for as long as the window is busy. A device whose answer is
// dropped answers again at the next search, five seconds later.
constexpr std::size_t kMaxQueuedAnswers = 20000;
// The most memory the waiting answers may take, counted as each record's texts
// (UTF-16) plus the record itself. A genuine answer's texts are a few hundred bytes,
// so 20,000 of them fit several times over; a flood of answers with texts at their
// read bound (device/DeviceRecord.h) meets this bound first and is dropped and
// counted like one beyond kMaxQueuedAnswers, so the queue never holds more than
// this whatever the texts.
constexpr std::size_t kMaxQueuedAnswerBytes = 32u << 20;

// What one queued answer counts against kMaxQueuedAnswerBytes.
std::size_t QueuedAnswerBytes(const QueuedAnswer &answer);


class AnswerQueue {
public:
    // `wake` runs on the pushing thread whenever a push finds the queue empty.
    explicit AnswerQueue(std::function<void()> wake) : m_wake(std::move(wake)) {}
    AnswerQueue(const AnswerQueue &) = delete;
    AnswerQueue &operator=(const AnswerQueue &) = delete;

    // Any thread. Queues the record, or drops and counts it when the queue is full.
    void Push(QueuedAnswer &&answer);
    // Any thread. True, after counting the answer as dropped, when the queue is full
    // (in answers or in bytes):
    // a flood's answers then cost no parse.
    bool RefuseIfFull();
    // Takes every record queued, oldest first.
    std::vector<QueuedAnswer> Take();
    // Records dropped since construction.
    uint64_t Dropped() const;

private:
    const std::function<void()> m_wake;
    mutable std::mutex m_lock;
    // Counts one dropped answer; says so on the first. Call with m_lock held.
    void CountDropLocked();

    std::vector<QueuedAnswer> m_records; // guarded by m_lock
    std::size_t m_bytes = 0;             // guarded by m_lock: QueuedAnswerBytes of m_records
    uint64_t m_dropped = 0;              // guarded by m_lock
};
