#include "frameparser.h"

#include <QtEndian>

#include <utility>

void FrameParser::append(const QByteArray &bytes)
{
    if (m_error)
        return; // nothing after a protocol error belongs to a frame we could find
    if (m_buffer.isEmpty())
        m_buffer = bytes;
    else
        m_buffer.append(bytes);
}

FrameParser::Step FrameParser::next()
{
    if (m_error)
        return Step::ProtocolError;

    if (m_length == 0) {
        if (available() < LengthSize)
            return Step::NeedLength;
        const qint64 length = qFromBigEndian<qint64>(m_buffer.constData() + m_offset);
        m_offset += LengthSize;
        if (length < MinFrameLength || length > MaxFrameLength) {
            m_error = true;
            m_errorString = QStringLiteral("frame length %1 is outside %2..%3 bytes")
                                .arg(length)
                                .arg(MinFrameLength)
                                .arg(MaxFrameLength);
            m_buffer.clear();
            m_offset = 0;
            return Step::ProtocolError;
        }
        m_length = length;
        return Step::LengthRead;
    }

    if (available() < m_length)
        return Step::NeedBody;
    m_body = m_buffer.mid(qsizetype(m_offset), qsizetype(m_length));
    m_offset += m_length;
    m_length = 0;
    compact();
    return Step::FrameComplete;
}

QByteArray FrameParser::takeBody()
{
    return std::exchange(m_body, QByteArray());
}

void FrameParser::reset()
{
    m_buffer.clear();
    m_offset = 0;
    m_length = 0;
    m_error = false;
    m_errorString.clear();
    m_body.clear();
}

void FrameParser::compact()
{
    if (m_offset == qint64(m_buffer.size())) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset >= qint64(m_buffer.size()) / 2) {
        // Drop what was read once it is at least half the buffer, so that many small frames
        // in one read do not each move the rest of the buffer.
        m_buffer.remove(0, qsizetype(m_offset));
        m_offset = 0;
    }
}
