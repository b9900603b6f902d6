#pragma once
// Misbehaviours a simulated device can show in its answers. Each fault can hold for
// search answers, for command answers or for both.
#include <cstdint>
#include <string>

namespace devsim {

enum class Fault : unsigned {
    Garbage,      // bytes that are not a frame in front of the frame
    Split,        // the answer split over two datagrams
    Double,       // two frames in one datagram (the second with "sessionId" "1")
    ApiCase,      // "api" written in other letter case
    NoData,       // the answer lacks "params"."data"
    Oversize,     // the datagram padded beyond 1472 bytes
    WrongSerial,  // command answers carry another serial number
    ResultFalse,  // command answers say "result": false (the change is not applied)
    ResultNumber, // "result": 1
    ResultString, // "result": "1"
    Silent,       // no answer at all (a command is then not carried out)
    Lost,         // a command is carried out but its answer never leaves (search: no answer)
    Ignored,      // a command is answered "result": true but not carried out
    Count
};

enum class Scope { Search, Command };

class FaultSet {
public:
    bool Has(Scope scope, Fault fault) const { return (Bits(scope) >> static_cast<unsigned>(fault)) & 1u; }
    void Add(Scope scope, Fault fault) { Bits(scope) |= 1u << static_cast<unsigned>(fault); }
    void Merge(const FaultSet &other)
    {
        m_search |= other.m_search;
        m_command |= other.m_command;
    }
    bool Empty() const { return m_search == 0 && m_command == 0; }

    // Adds a list such as "garbage+search:split+command:silent". Names without a scope
    // hold for both kinds of answer. Returns false (and says why) on an unknown name.
    bool AddList(const std::string &list, std::string &error);

    // The faults as the same list syntax ("" when none), for the ready line and tests.
    std::string ToString() const;

private:
    uint32_t &Bits(Scope scope) { return scope == Scope::Search ? m_search : m_command; }
    uint32_t Bits(Scope scope) const { return scope == Scope::Search ? m_search : m_command; }

    uint32_t m_search = 0;
    uint32_t m_command = 0;
};

const char *FaultName(Fault fault);

} // namespace devsim
