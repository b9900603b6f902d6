#include "Faults.h"

namespace devsim {
namespace {

constexpr const char *kNames[] = {"garbage",      "split",        "double",        "api-case",
                                  "no-data",      "oversize",     "wrong-serial",  "result-false",
                                  "result-number", "result-string", "silent",
                                  "lost",         "ignored"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Fault::Count), "one name per fault");

bool FindFault(const std::string &name, Fault &fault)
{
    for (unsigned i = 0; i < static_cast<unsigned>(Fault::Count); ++i) {
        if (name == kNames[i]) {
            fault = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
}

} // namespace

const char *FaultName(Fault fault)
{
    unsigned i = static_cast<unsigned>(fault);
    return i < static_cast<unsigned>(Fault::Count) ? kNames[i] : "?";
}

bool FaultSet::AddList(const std::string &list, std::string &error)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('+', start);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(start, end - start);
        start = end + 1;
        if (item.empty() || item == "none")
            continue;
        bool search = true, command = true;
        if (item.compare(0, 7, "search:") == 0) {
            command = false;
            item.erase(0, 7);
        } else if (item.compare(0, 8, "command:") == 0) {
            search = false;
            item.erase(0, 8);
        }
        Fault fault;
        if (!FindFault(item, fault)) {
            error = "unknown fault \"" + item + "\"";
            return false;
        }
        if (search)
            Add(Scope::Search, fault);
        if (command)
            Add(Scope::Command, fault);
    }
    return true;
}

std::string FaultSet::ToString() const
{
    std::string out;
    for (unsigned i = 0; i < static_cast<unsigned>(Fault::Count); ++i) {
        Fault f = static_cast<Fault>(i);
        bool s = Has(Scope::Search, f), c = Has(Scope::Command, f);
        if (!s && !c)
            continue;
        if (!out.empty())
            out += '+';
        if (!c)
            out += "search:";
        else if (!s)
            out += "command:";
        out += kNames[i];
    }
    return out;
}

} // namespace devsim
