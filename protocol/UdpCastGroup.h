#pragma once
// The device search: one searcher (QUdpCast) per local IPv4 address, all handing
// the search answers they receive to one callback.
#include <string>
#include <vector>

namespace Vant {
class CProtocalJson;
}
class QUdpCast;

// Receives one accepted search answer: the compact JSON text (NUL-terminated, valid
// only during the call), its length in bytes without the NUL, and the user pointer
// given to the group. Called on the socket threads of the searchers, one call at a
// time per searcher but possibly from several searchers at once.
typedef void (*UdpMsgCallBack)(const char *text, int length, void *user);

class QUdpCastGroup {
public:
    QUdpCastGroup(UdpMsgCallBack callback, void *user);
    // Searches only from the local addresses listed in `onlyAddresses` (dotted text,
    // compared exactly); an empty list means every address, as above.
    QUdpCastGroup(UdpMsgCallBack callback, void *user, std::vector<std::string> onlyAddresses);
    // Stops any searcher still running (the owner normally calls Stop first).
    ~QUdpCastGroup();

    QUdpCastGroup(const QUdpCastGroup &) = delete;
    QUdpCastGroup &operator=(const QUdpCastGroup &) = delete;

    // Creates one running searcher per local IPv4 address other than "127.0.0.1".
    // Called once, right after construction.
    void Start();
    // Stops and deletes every searcher, one after another; once it returns, no
    // callback is running and none will come.
    void Stop();
    // Hands one answer text to the callback.
    void Dispatch(const char *text, int length);

    // Fills result's "params"."data" with one {"IPAddr": text} record per assigned
    // IPv4 address of the host, in the order the system lists them ("0.0.0.0"
    // skipped, loopback and duplicates kept). False when the list could not be read;
    // the reason is printed on the standard output.
    static bool GetLocalAddresses(Vant::CProtocalJson &result);

    // The number of searchers running (for diagnostics and tests).
    int SearcherCount() const { return static_cast<int>(m_casts.size()); }

private:
    UdpMsgCallBack m_callback;
    void *m_user;
    std::vector<QUdpCast *> m_casts;
    std::vector<std::string> m_onlyAddresses;
};
