#include "imagehandler.h"

#include "monotonicclock.h"

int ImageHandler::handleImage(const QPixmap &pixmap)
{
    CapturedFrame frame;
    frame.image = pixmap.toImage(); // shares the pixmap's pixels and keeps them
    frame.changes = BandMap::allChanged(frame.image.height());
    frame.number = m_directNumber;
    m_directNumber -= 2;
    frame.grabTimeMs = monotonicMs();
    if (!hasRoom())
        waitForRoom();
    handleFrame(frame);
    return 0;
}
