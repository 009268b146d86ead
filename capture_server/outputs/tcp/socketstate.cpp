#include "socketstate.h"

#include <QTcpSocket>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

qint64 bytesNotTaken(const QTcpSocket *socket)
{
    int inSystem = 0;
    if (::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &inSystem) != 0)
        inSystem = 0;
    return socket->bytesToWrite() + inSystem;
}

bool peerHasClosed(const QTcpSocket *socket)
{
    pollfd fd{int(socket->socketDescriptor()), POLLRDHUP, 0};
    return fd.fd < 0 || (::poll(&fd, 1, 0) == 1 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
}
