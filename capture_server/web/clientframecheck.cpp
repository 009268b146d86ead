#include "clientframecheck.h"

#include <algorithm>

bool ClientFrameCheck::take(const char *data, qint64 size)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    qint64 at = 0;
    while (!m_violated && at < size) {
        if (m_payloadLeft > 0) {
            const quint64 skipped = std::min<quint64>(m_payloadLeft, quint64(size - at));
            m_payloadLeft -= skipped;
            at += qint64(skipped);
            continue;
        }
        m_head[m_headBytes++] = bytes[at++];
        if (m_headBytes == 2) {
            if (!(m_head[1] & 0x80)) {
                m_violated = true;
                break;
            }
            const int length = m_head[1] & 0x7f;
            m_headLength = 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + 4;
        }
        if (m_headBytes < 2 || m_headBytes < m_headLength)
            continue;
        const int length = m_head[1] & 0x7f;
        quint64 payload = quint64(length);
        if (length >= 126) {
            payload = 0;
            for (int i = 2; i < m_headLength - 4; ++i)
                payload = payload << 8 | m_head[i];
        }
        m_payloadLeft = payload;
        m_headBytes = 0;
        m_headLength = 2;
    }
    return !m_violated;
}
