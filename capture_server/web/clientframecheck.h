#pragma once

#include <QtGlobal>

// Walks the frames a WebSocket client sends, from one frame head to the next, and finds the
// first frame without a mask: a client must mask every frame it sends (RFC 6455, 5.1), and a
// server must close the connection on one that is not. It reads only the heads (2 to 14 bytes:
// flags and opcode, the length in 7, 16 or 64 bits, the mask); payloads are counted past
// unread, whatever length a head claims. Bytes may come in pieces of any size.
class ClientFrameCheck
{
public:
    // Takes the next `size` bytes of the client's stream. False once a frame without a mask
    // has begun, and from then on.
    [[nodiscard]] bool take(const char *data, qint64 size);
    [[nodiscard]] bool isViolated() const { return m_violated; }

private:
    unsigned char m_head[14] = {};
    int m_headBytes = 0;      // of the head being read
    int m_headLength = 2;     // of the head being read, once its second byte is known
    quint64 m_payloadLeft = 0; // of the frame whose head has been read
    bool m_violated = false;
};
