#include "simpleimagesaver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QPixmap>
#include <QRegularExpression>

#include <iostream>

QString imageFileName(const QString &prefix, int number, const QString &format)
{
    return prefix + QString::number(number) + QLatin1Char('.') + format;
}

int firstFreeImageNumber(const QString &prefix, const QString &format)
{
    const QFileInfo info(prefix + QLatin1String("0.") + format);
    const QString stem = QFileInfo(prefix).fileName();
    const QRegularExpression pattern(QLatin1Char('^') + QRegularExpression::escape(stem)
                                     + QLatin1String("(0|[1-9][0-9]{0,8})\\.")
                                     + QRegularExpression::escape(format) + QLatin1Char('$'));
    int next = 0;
    const QStringList names = info.dir().entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch())
            next = std::max(next, match.captured(1).toInt() + 1);
    }
    return next;
}

SimpleImageSaver::SimpleImageSaver(QString path_, QString format_, int quality_)
    : path(std::move(path_))
    , format(std::move(format_))
    , quality(quality_)
{
    fileCounter = firstFreeImageNumber(path, format);
}

void SimpleImageSaver::skipTakenNumbers()
{
    fileCounter = std::max(fileCounter, firstFreeImageNumber(path, format));
}

void SimpleImageSaver::startHandling(const ConfigStructure *)
{
    QDir().mkpath(QFileInfo(path + QLatin1String("0.") + format).path());
    skipTakenNumbers();
    std::cout << "Capturing images to memory..." << fileCounter << std::endl;
}

int SimpleImageSaver::handleImage(const QPixmap &frame)
{
    const QImage image = frame.toImage();
    QString fileName = imageFileName(path, fileCounter, format);
    bool written = write(image, fileName);
    if (!written && QFile::exists(fileName)) {
        // Somebody else wrote this number meanwhile: never overwrite, take the next free one.
        skipTakenNumbers();
        fileName = imageFileName(path, fileCounter, format);
        written = write(image, fileName);
    }
    if (!written) {
        std::cout << "Could not write: " << fileName.toLatin1().constData() << std::endl;
        return 0;
    }
    ++fileCounter;
    std::cout << "Writing: " << fileName.toLatin1().constData() << std::endl;
    return 0;
}

void SimpleImageSaver::stopHandling()
{
}

bool SimpleImageSaver::write(const QImage &image, const QString &fileName) const
{
    QByteArray encoded;
    {
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format.toLatin1());
        writer.setQuality(quality);
        if (!writer.write(image))
            return false;
    }

    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        // The folder may have gone since the run started.
        if (QFile::exists(fileName) || !QDir().mkpath(QFileInfo(fileName).path())
            || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
    }
    const bool ok = file.write(encoded) == encoded.size() && file.flush();
    file.close();
    if (!ok || file.error() != QFileDevice::NoError) {
        file.remove(); // never leave a truncated image behind
        return false;
    }
    return true;
}
