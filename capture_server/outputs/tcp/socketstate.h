#pragma once

#include <QtGlobal>

class QTcpSocket;

// What the system knows about a connection that Qt may not have noticed yet.

// Bytes still on their way to the client: in Qt's buffer and in the system's send queue. A client
// has taken bytes when this goes down.
[[nodiscard]] qint64 bytesNotTaken(const QTcpSocket *socket);

// The client has closed its end (or the connection broke), though Qt has not noticed it yet.
[[nodiscard]] bool peerHasClosed(const QTcpSocket *socket);
