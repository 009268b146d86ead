#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>

// The QDataStream version of the image stream's bytes (the marker and the image after it).
constexpr QDataStream::Version StreamVersion = QDataStream::Qt_4_4;

// Splits a received byte stream into image frames. A frame is an 8-byte big-endian signed
// length L followed by L bytes of body (a 32-bit marker, then a PNG file when the marker is 1).
// The parser owns no device: feed it with append() and take steps with next() until it asks
// for more bytes. A length outside [MinFrameLength, MaxFrameLength] is a protocol error, after
// which the parser takes no further step until reset().
class FrameParser
{
public:
    static constexpr qint64 LengthSize = 8;
    static constexpr qint64 MinFrameLength = 4;                  // the marker alone (null image)
    static constexpr qint64 MaxFrameLength = qint64(256) << 20;  // 256 MiB

    enum class Step {
        NeedLength,    // fewer than 8 bytes of the next length are buffered
        LengthRead,    // a valid length was read: length()
        NeedBody,      // the body is incomplete: available() of length() bytes buffered
        FrameComplete, // a whole frame: takeBody() returns its body
        ProtocolError, // the length is out of range: errorString()
    };

    // Adds received bytes after those already buffered.
    void append(const QByteArray &bytes);
    // Takes the next step on the buffered bytes. NeedLength, NeedBody and ProtocolError mean
    // nothing more can be done until more bytes arrive (or, after an error, until reset()).
    [[nodiscard]] Step next();
    // Body of the frame that the last FrameComplete step completed, taken out of the buffer
    // without a copy when it is the larger part of what is buffered. A body not taken before the
    // next step is dropped; a second call returns an empty array.
    [[nodiscard]] QByteArray takeBody();
    // Drops every buffered byte and waits for a length again (a new connection).
    void reset();

    // Length of the frame being received; 0 while waiting for a length.
    [[nodiscard]] qint64 length() const { return m_length; }
    // Bytes buffered beyond the current frame's length field.
    [[nodiscard]] qint64 available() const { return qint64(m_buffer.size()) - m_offset; }
    [[nodiscard]] bool hasError() const { return m_error; }
    [[nodiscard]] QString errorString() const { return m_errorString; }

private:
    void compact();

    QByteArray m_buffer;
    qint64 m_offset = 0;     // first unread byte of m_buffer
    qint64 m_length = 0;     // 0: the next bytes are a length
    bool m_error = false;
    QString m_errorString;
    qint64 m_bodyStart = 0;     // the completed frame's body in m_buffer, until taken or skipped
    qint64 m_bodyLength = 0;
    bool m_bodyPending = false;
};

// What a server that is serving all the viewers it can sends a further client before it closes
// the connection. Read as a frame length its first 8 bytes are far beyond MaxFrameLength, so a
// parser stops at them with a protocol error.
inline constexpr char RefusedLine[] = "refused: the server is serving its maximum of viewers\n";
