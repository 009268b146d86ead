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
    if (m_bodyPending) {
        // The frame completed before was not taken: skip it without a copy.
        m_bodyPending = false;
        compact();
    }

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
    m_bodyStart = m_offset;
    m_bodyLength = m_length;
    m_bodyPending = true;
    m_offset += m_length;
    m_length = 0;
    return Step::FrameComplete;
}

QByteArray FrameParser::takeBody()
{
    if (!m_bodyPending)
        return {};
    m_bodyPending = false;
    const qsizetype start = qsizetype(m_bodyStart);
    const qsizetype length = qsizetype(m_bodyLength);
    const qsizetype rest = m_buffer.size() - start - length;
    if (rest > length) {
        // A small body before many buffered bytes: copy the body.
        QByteArray body = m_buffer.mid(start, length);
        compact();
        return body;
    }
    // Otherwise the buffer becomes the body (dropping bytes at its front moves nothing) and the
    // few bytes after it, if any, are copied to a buffer of their own.
    QByteArray after = rest > 0 ? m_buffer.mid(start + length) : QByteArray();
    QByteArray body = std::exchange(m_buffer, std::move(after));
    m_offset = 0;
    body.truncate(start + length);
    body.remove(0, start);
    return body;
}

void FrameParser::reset()
{
    m_buffer.clear();
    m_offset = 0;
    m_length = 0;
    m_error = false;
    m_errorString.clear();
    m_bodyPending = false;
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
