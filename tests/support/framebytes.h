#pragma once

#include "frameparser.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>
#include <QIODevice>
#include <QObject>

#include <functional>
#include <memory>

// Frames of the image stream built the way the sender builds them: a length placeholder, the
// image through QDataStream, the length patched in place.
inline QByteArray frameOf(const QImage &image)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(StreamVersion);
    out << qint64(0) << image;
    out.device()->seek(0);
    out << qint64(bytes.size() - 8);
    return bytes;
}

// Reads the image stream arriving on `device` from now on, handing each frame's image to
// `onImage` as it completes.
inline void onEachImage(QIODevice &device, std::function<void(const QImage &)> onImage)
{
    auto parser = std::make_shared<FrameParser>();
    QObject::connect(&device, &QIODevice::readyRead, &device, [&device, parser, onImage = std::move(onImage)] {
        parser->append(device.readAll());
        for (;;) {
            const FrameParser::Step step = parser->next();
            if (step == FrameParser::Step::LengthRead)
                continue;
            if (step != FrameParser::Step::FrameComplete)
                return;
            QDataStream stream(parser->takeBody());
            stream.setVersion(StreamVersion);
            QImage image;
            stream >> image;
            onImage(image);
        }
    });
}

// A frame carrying `body` as it stands.
inline QByteArray frameWithBody(const QByteArray &body)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint64(body.size());
    return bytes + body;
}

// Just a frame length.
inline QByteArray lengthField(qint64 length)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << length;
    return bytes;
}

// The body of a frame whose PNG is well formed but claims `width` x `height` RGB pixels while
// carrying the data of a single row: a decompression bomb as far as its header goes.
inline QByteArray bombBody(quint32 width, quint32 height)
{
    auto crc32 = [](const QByteArray &data) {
        quint32 crc = 0xffffffffu;
        for (const char c : data) {
            crc ^= quint8(c);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return crc ^ 0xffffffffu;
    };
    auto chunk = [&](const char *type, const QByteArray &data) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        const QByteArray typed = QByteArray(type, 4) + data;
        out << quint32(data.size());
        out.writeRawData(typed.constData(), int(typed.size()));
        out << crc32(typed);
        return bytes;
    };
    QByteArray header;
    QDataStream h(&header, QIODevice::WriteOnly);
    h << width << height << quint8(8) << quint8(2) << quint8(0) << quint8(0) << quint8(0);
    const QByteArray row(qsizetype(width) * 3 + 1, '\0');
    QByteArray body("\x00\x00\x00\x01", 4);
    body += QByteArray("\x89PNG\r\n\x1a\n", 8);
    body += chunk("IHDR", header) + chunk("IDAT", qCompress(row).mid(4)) + chunk("IEND", QByteArray());
    return body;
}
