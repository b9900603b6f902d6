#include "protocol/UdpCastGroup.h"

#include <string>

QUdpCastGroup::QUdpCastGroup(UdpMsgCallBack callback, void *user) : m_callback(callback), m_user(user) {}

QUdpCastGroup::~QUdpCastGroup() = default;

void QUdpCastGroup::Dispatch(const char *text, int length)
{
    if (!text || length < 0)
        return;
    // The callback gets its own copy: the text passed in belongs to the scanner.
    const std::string copy(text, static_cast<size_t>(length));
    if (m_callback)
        m_callback(copy.c_str(), static_cast<int>(copy.size()), m_user);
}
