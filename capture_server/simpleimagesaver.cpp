#include "simpleimagesaver.h"

#include "jpegcodec.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QMetaObject>
#include <QPixmap>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <limits>
#include <system_error>
#include <unistd.h>

QString imageFileName(const QString &prefix, qint64 number, const QString &format)
{
    return prefix + QString::number(number) + QLatin1Char('.') + format;
}

qint64 firstFreeImageNumber(const QString &prefix, const QString &format)
{
    const QFileInfo info(prefix + QLatin1String("0.") + format);
    const QString stem = QFileInfo(prefix).fileName();
    const QRegularExpression pattern(QLatin1Char('^') + QRegularExpression::escape(stem)
                                     + QLatin1String("(0|[1-9][0-9]*)\\.")
                                     + QRegularExpression::escape(format) + QLatin1Char('$'));
    qint64 next = 0;
    const QStringList names = info.dir().entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        bool fits = false;
        const qint64 number = match.capturedView(1).toLongLong(&fits);
        if (!fits || number == std::numeric_limits<qint64>::max())
            return NoFreeImageNumber;
        next = std::max(next, number + 1);
    }
    return next;
}

namespace {

std::string numbersUsedUpLine(const QString &path, const QString &format)
{
    return "No file number left after "
           + imageFileName(path, std::numeric_limits<qint64>::max(), format).toLatin1().toStdString()
           + ": no frame will be saved";
}

// Writes all of `bytes` to `fd`; false with errno set on failure.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

} // namespace

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
    qint64 first = 0;
    {
        std::lock_guard lock(m_mutex);
        const qint64 free = firstFreeImageNumber(path, format);
        if (fileCounter != NoFreeImageNumber)
            fileCounter = free == NoFreeImageNumber ? free : std::max(fileCounter, free);
        first = fileCounter;
        m_usedUpReported = first == NoFreeImageNumber;
    }
    if (first == NoFreeImageNumber)
        std::cout << numbersUsedUpLine(path, format) << std::endl;
    else
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

qint64 SimpleImageSaver::nextFileNumber()
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
        qint64 number = fileCounter;
        lock.unlock();

        std::string line;
        bool written = false;
        if (number != NoFreeImageNumber) {
            std::string reason;
            QString fileName = imageFileName(path, number, format);
            WriteResult result = write(image, fileName, reason);
            while (result == WriteResult::Taken) {
                // Somebody else wrote this number meanwhile: never overwrite, move on to the
                // next free one, past every file present now.
                const qint64 free = firstFreeImageNumber(path, format);
                if (free == NoFreeImageNumber || number == std::numeric_limits<qint64>::max()) {
                    number = NoFreeImageNumber;
                    break;
                }
                number = std::max(number + 1, free);
                fileName = imageFileName(path, number, format);
                result = write(image, fileName, reason);
            }
            written = result == WriteResult::Written;
            if (number != NoFreeImageNumber) {
                line = (written ? "Writing: " : "Could not write: ") + fileName.toLatin1().toStdString();
                if (!written)
                    line += ": " + reason;
            }
        }

        lock.lock();
        if (written)
            fileCounter = number == std::numeric_limits<qint64>::max() ? NoFreeImageNumber : number + 1;
        else if (number == NoFreeImageNumber)
            fileCounter = NoFreeImageNumber;
        if (number == NoFreeImageNumber && !m_usedUpReported) {
            m_usedUpReported = true;
            line = numbersUsedUpLine(path, format);
        }
        if (!line.empty())
            m_finished.push_back(line);
        m_queue.pop_front();
        m_progress.notify_all();
        // Print promptly on the saver's own thread of use, not only at the next frame.
        QMetaObject::invokeMethod(this, [this] { printFinishedLines(); }, Qt::QueuedConnection);
    }
}

SimpleImageSaver::WriteResult SimpleImageSaver::write(const QImage &image, const QString &fileName,
                                                      std::string &reason) const
{
    QByteArray encoded;
    const QString lowerFormat = format.toLower();
    if (lowerFormat == QLatin1String("jpg") || lowerFormat == QLatin1String("jpeg")) {
        // The same baseline JPEG that Qt's writer makes (4:2:0, quality 75 by default), straight
        // from the frame's pixels without a copy per scanline.
        encoded = encodeJpeg(image, quality, ChromaSubsampling::Half);
    } else {
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format.toLatin1());
        writer.setQuality(quality);
        if (!writer.write(image))
            encoded.clear();
    }
    if (encoded.isEmpty()) {
        reason = "the frame could not be encoded as " + format.toLatin1().toStdString();
        return WriteResult::Failed;
    }

    // The bytes go to a hidden temporary in the same folder (its name never matches the
    // numbering pattern) and the finished file is moved into place in one step, so that a kill
    // at any moment leaves either the whole file or none.
    const QFileInfo info(fileName);
    const QByteArray target = QFile::encodeName(fileName);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temporary = QFile::encodeName(info.path() + QLatin1String("/.") + info.fileName() + QLatin1Char('.')
                                      + QString::number(QRandomGenerator::global()->generate(), 16));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // The folder may have gone since the run started.
        if (fd < 0 && errno == ENOENT && QDir().mkpath(info.path()))
            fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        reason = errorText(errno);
        return WriteResult::Failed;
    }
    const auto fail = [&](int error) {
        ::unlink(temporary.constData()); // never leave a truncated image behind
        reason = errorText(error);
        return WriteResult::Failed;
    };
    if (!writeAll(fd, encoded)) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    if (::close(fd) != 0)
        return fail(errno);

    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return WriteResult::Written;
    int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // A file system without an exclusive rename: a hard link does not replace either.
        if (::link(temporary.constData(), target.constData()) == 0) {
            ::unlink(temporary.constData());
            return WriteResult::Written;
        }
        error = errno;
    }
    if (error == EEXIST) {
        ::unlink(temporary.constData());
        return WriteResult::Taken;
    }
    return fail(error);
}
