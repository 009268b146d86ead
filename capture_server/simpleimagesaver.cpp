#include "simpleimagesaver.h"

#include "jpegcodec.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QMetaObject>
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

SimpleImageSaver::SimpleImageSaver(QString path_, QString format_, int quality_, int maxQueued)
    : path(std::move(path_))
    , format(std::move(format_))
    , quality(quality_)
    , m_maxQueued(std::max(1, maxQueued))
    , fileCounter(firstFreeImageNumber(path, format))
    , m_worker([this] { run(); })
{
}

SimpleImageSaver::~SimpleImageSaver()
{
    waitUntilWritten();
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

void SimpleImageSaver::startHandling(const ConfigStructure *)
{
    waitUntilWritten();
    QDir().mkpath(QFileInfo(path + QLatin1String("0.") + format).path());
    int first = 0;
    {
        std::lock_guard lock(m_mutex);
        fileCounter = std::max(fileCounter, firstFreeImageNumber(path, format));
        first = fileCounter;
    }
    std::cout << "Capturing images to memory..." << first << std::endl;
}

int SimpleImageSaver::handleImage(const QPixmap &frame)
{
    printFinishedLines();
    QImage image = frame.toImage();
    {
        std::unique_lock lock(m_mutex);
        m_progress.wait(lock, [this] { return int(m_queue.size()) < m_maxQueued; });
        m_queue.push_back(std::move(image));
    }
    m_wake.notify_one();
    return 0;
}

void SimpleImageSaver::stopHandling()
{
    waitUntilWritten();
}

void SimpleImageSaver::waitUntilWritten()
{
    {
        std::unique_lock lock(m_mutex);
        m_progress.wait(lock, [this] { return m_queue.empty(); });
    }
    printFinishedLines();
}

int SimpleImageSaver::nextFileNumber()
{
    waitUntilWritten();
    std::lock_guard lock(m_mutex);
    return fileCounter;
}

void SimpleImageSaver::printFinishedLines()
{
    std::deque<std::string> lines;
    {
        std::lock_guard lock(m_mutex);
        lines.swap(m_finished);
    }
    for (const std::string &line : lines)
        std::cout << line << std::endl;
}

void SimpleImageSaver::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const QImage image = m_queue.front();
        int number = fileCounter;
        lock.unlock();

        QString fileName = imageFileName(path, number, format);
        bool written = write(image, fileName);
        if (!written && QFile::exists(fileName)) {
            // Somebody else wrote this number meanwhile: never overwrite, take the next free one.
            number = std::max(number + 1, firstFreeImageNumber(path, format));
            fileName = imageFileName(path, number, format);
            written = write(image, fileName);
        }
        const std::string line = (written ? "Writing: " : "Could not write: ") + fileName.toLatin1().toStdString();

        lock.lock();
        if (written)
            fileCounter = number + 1;
        m_finished.push_back(line);
        m_queue.pop_front();
        m_progress.notify_all();
        // Print promptly on the saver's own thread of use, not only at the next frame.
        QMetaObject::invokeMethod(this, [this] { printFinishedLines(); }, Qt::QueuedConnection);
    }
}

bool SimpleImageSaver::write(const QImage &image, const QString &fileName) const
{
    QByteArray encoded;
    const QString lowerFormat = format.toLower();
    if (lowerFormat == QLatin1String("jpg") || lowerFormat == QLatin1String("jpeg")) {
        // The same baseline JPEG that Qt's writer makes (4:2:0, quality 75 by default), straight
        // from the frame's pixels without a copy per scanline.
        encoded = encodeJpeg(image, quality, ChromaSubsampling::Half);
        if (encoded.isEmpty())
            return false;
    } else {
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
