#include "simpleimagesaver.h"

#include "frameconsole.h"
#include "jpegcodec.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

struct SimpleImageSaver::WriterState
{
    int fileCounter = 0;   // number of the next file
    QImage last;           // the frame written last
    qint64 lastNumber = -2;
};

SimpleImageSaver::SimpleImageSaver(QString path_, QString format_, int quality_, int maxQueued)
    : path(std::move(path_))
    , format(std::move(format_))
    , quality(quality_)
    , m_state(std::make_shared<WriterState>())
    , m_worker(std::max(1, maxQueued))
{
    m_state->fileCounter = firstFreeImageNumber(path, format);
}

SimpleImageSaver::~SimpleImageSaver()
{
    waitUntilWritten();
}

void SimpleImageSaver::startHandling(const ConfigStructure *)
{
    waitUntilWritten();
    QDir().mkpath(QFileInfo(path + QLatin1String("0.") + format).path());
    // Files another program wrote since the last run are never overwritten.
    m_state->fileCounter = std::max(m_state->fileCounter, firstFreeImageNumber(path, format));
    FrameConsole::instance().print("Capturing images to memory..." + std::to_string(m_state->fileCounter));
}

int SimpleImageSaver::handleImage(const QPixmap &frame)
{
    CapturedFrame captured;
    captured.image = frame.toImage();
    captured.changes = BandMap::allChanged(captured.image.height());
    captured.number = m_directNumber;
    m_directNumber -= 2; // never the successor of the frame before: its bands are compared anew
    // A caller outside the recorder does not ask hasRoom(): wait for room instead.
    if (!m_worker.hasRoom())
        m_worker.drain();
    handleFrame(captured);
    return 0;
}

bool SimpleImageSaver::hasRoom() const
{
    return m_worker.hasRoom();
}

void SimpleImageSaver::handleFrame(const CapturedFrame &frame)
{
    const int place = FrameConsole::instance().reserve();
    const std::shared_ptr<WriterState> state = m_state;
    const auto work = [this, state, frame] { return writeFrame(frame, *state); };
    const auto done = [place](std::string line) { FrameConsole::instance().fill(place, {std::move(line)}); };
    // The recorder asked hasRoom() before grabbing; past the bound the frame still goes in, so
    // nothing is lost.
    if (!m_worker.tryPost(work, done))
        m_worker.post(work, done);
}

void SimpleImageSaver::stopHandling()
{
    waitUntilWritten();
}

void SimpleImageSaver::waitUntilWritten()
{
    m_worker.drain();
}

int SimpleImageSaver::nextFileNumber()
{
    waitUntilWritten();
    return m_state->fileCounter;
}

QByteArray SimpleImageSaver::encode(const CapturedFrame &frame, WriterState &) const
{
    QByteArray encoded;
    const QString lowerFormat = format.toLower();
    if (lowerFormat == QLatin1String("jpg") || lowerFormat == QLatin1String("jpeg")) {
        // The same baseline JPEG that Qt's writer makes (4:2:0, quality 75 by default), straight
        // from the frame's pixels without a copy per scanline.
        return encodeJpeg(frame.image, quality, ChromaSubsampling::Half);
    }
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format.toLatin1());
    writer.setQuality(quality);
    if (!writer.write(frame.image))
        return {};
    return encoded;
}

std::string SimpleImageSaver::writeFrame(const CapturedFrame &frame, WriterState &state) const
{
    const QByteArray encoded = encode(frame, state);
    state.last = frame.image;
    state.lastNumber = frame.number;

    int number = state.fileCounter;
    QString fileName = imageFileName(path, number, format);
    bool written = !encoded.isEmpty() && write(encoded, fileName);
    if (!written && !encoded.isEmpty() && QFile::exists(fileName)) {
        // Somebody else wrote this number meanwhile: never overwrite, take the next free one.
        number = std::max(number + 1, firstFreeImageNumber(path, format));
        fileName = imageFileName(path, number, format);
        written = write(encoded, fileName);
    }
    if (written)
        state.fileCounter = number + 1;
    return (written ? "Writing: " : "Could not write: ") + fileName.toLatin1().toStdString();
}

bool SimpleImageSaver::write(const QByteArray &encoded, const QString &fileName) const
{
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
