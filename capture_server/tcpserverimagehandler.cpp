#include "tcpserverimagehandler.h"

#include <iostream>

TcpServerImagehandler::TcpServerImagehandler(quint16, const QHostAddress &)
{
}

void TcpServerImagehandler::startHandling(const ConfigStructure *)
{
    std::cout << "Server started loop.\n" << std::endl;
}

int TcpServerImagehandler::handleImage(const QPixmap &)
{
    return 0;
}

void TcpServerImagehandler::stopHandling()
{
    std::cout << "Server ended loop.\n" << std::endl;
}

void TcpServerImagehandler::SLOT_startSendingimage()
{
}

void TcpServerImagehandler::SLOT_addClient()
{
}

void TcpServerImagehandler::SLOT_removeClient()
{
}
