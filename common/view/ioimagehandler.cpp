#include "ioimagehandler.h"

#include "pngreader.h"

#include <QDataStream>
#include <QIODevice>
#include <QImage>

bool IOImageHandler::takeImage(QImage &image)
{
    if (!stream)
        return false;
    readStreamImage(*stream, image); // what operator>> reads, faster for plain PNGs
    const bool readable = stream->status() == QDataStream::Ok;
    if (device)
        device->reset();
    return readable;
}
