#pragma once

#include "imagehandler.h"

#include <QHostAddress>

// Stand-in for the TCP image server: prints the loop's start and stop lines and sends nothing.
class TcpServerImagehandler : public ImageHandler
{
    Q_OBJECT
public:
    explicit TcpServerImagehandler(quint16 port, const QHostAddress &address = QHostAddress::Any);

    void startHandling(const ConfigStructure *config) override;
    int handleImage(const QPixmap &frame) override;
    void stopHandling() override;

public Q_SLOTS:
    void SLOT_startSendingimage();
    void SLOT_addClient();
    void SLOT_removeClient();
};
