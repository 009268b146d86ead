#include "simpleimagesaver.h"

#include "bandedjpeg.h"
#include "fileio.h"
#include "frameconsole.h"
#include "numberedfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPixmap>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include <limits>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

StageEvent numbersUsedUp(const QString &path, const QString &format)
{
    return StageEvent::failed(QLatin1String("No file number left after ")
                              + imageFileName(path, std::numeric_limits<qint64>::max(), format)
                              + QLatin1String(": no frame will be saved"));
}

std::string errorText(int error)
{
    return std::generic_category().message(error);
}

} // namespace

struct SimpleImageSaver::WriterState
{
    explicit WriterState(int quality) : jpeg(quality) {}
    BandedJpegEncoder jpeg; // keeps each band's entropy-coded segment for the next frame
    qint64 fileCounter = 0; // number of the next file; NoFreeImageNumber when none is left
    bool usedUpReported = false; // the numbers-used-up line was printed this run
    LastFrame last;        // the frame written last
    std::atomic<qint64> bytes{0}; // of the files written this run; read on the GUI thread
};

SimpleImageSaver::SimpleImageSaver(QString path_, QString format_, int quality_, int maxQueued)
    : path(std::move(path_))
    , format(std::move(format_))
    , quality(quality_)
    , m_state(std::make_shared<WriterState>(jpegQuality()))
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
    const qint64 free = firstFreeImageNumber(path, format);
    WriterState &state = *m_state;
    if (state.fileCounter != NoFreeImageNumber)
        state.fileCounter = free == NoFreeImageNumber ? free : std::max(state.fileCounter, free);
    state.usedUpReported = state.fileCounter == NoFreeImageNumber;
    if (state.usedUpReported)
        FrameConsole::instance().report(numbersUsedUp(path, format));
    else
        FrameConsole::instance().report(
            StageEvent::notice(QStringLiteral("Capturing images to memory...%1").arg(state.fileCounter)));
    state.bytes = 0;
}

qint64 SimpleImageSaver::bytesWritten() const
{
    return m_state->bytes;
}

bool SimpleImageSaver::hasRoom() const
{
    return m_worker.hasRoom();
}

bool SimpleImageSaver::writesJpeg() const
{
    const QString lowerFormat = format.toLower();
    return lowerFormat == QLatin1String("jpg") || lowerFormat == QLatin1String("jpeg");
}

int SimpleImageSaver::jpegQuality() const
{
    return quality < 0 ? 75 : std::clamp(quality, 1, 100);
}

void SimpleImageSaver::handleFrame(const CapturedFrame &frame)
{
    const ConsolePlace place = FrameConsole::instance().reserve();
    const std::shared_ptr<WriterState> state = m_state;
    post([this, state, frame] { return writeFrame(frame, nullptr, *state); }, place);
}

void SimpleImageSaver::writeCoded(const CapturedFrame &frame, const QByteArray &file, const ConsolePlace &place)
{
    const std::shared_ptr<WriterState> state = m_state;
    post([this, state, frame, file] { return writeFrame(frame, &file, *state); }, place);
}

void SimpleImageSaver::post(std::function<std::optional<StageEvent>()> work, const ConsolePlace &place)
{
    const auto done = [place](std::optional<StageEvent> outcome) { FrameConsole::instance().fill(place, std::move(outcome)); };
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
    m_worker.drain([](int left) {
        FrameConsole::instance().report(
            StageEvent::notice(QStringLiteral("Waiting for the last %1 frames to be written").arg(left)));
    });
}

qint64 SimpleImageSaver::nextFileNumber()
{
    waitUntilWritten();
    return m_state->fileCounter;
}

QByteArray SimpleImageSaver::encode(const CapturedFrame &frame, WriterState &state) const
{
    const QString lowerFormat = format.toLower();
    if (lowerFormat == QLatin1String("jpg") || lowerFormat == QLatin1String("jpeg")) {
        // The same baseline JPEG that Qt's writer makes (4:2:0, quality 75 by default), built from
        // 16-row bands joined by restart markers: bands unchanged since the frame written before
        // keep their coded bytes, changed ones are encoded on every core.
        const BandMap changes = state.last.advance(frame);
        QByteArray file = state.jpeg.encode(frame.image, changes);
        return file;
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format.toLatin1());
    writer.setQuality(quality);
    if (!writer.write(frame.image))
        return {};
    return encoded;
}

std::optional<StageEvent> SimpleImageSaver::writeFrame(const CapturedFrame &frame, const QByteArray *coded,
                                                       WriterState &state) const
{
    qint64 number = state.fileCounter;
    std::optional<StageEvent> outcome;
    bool written = false;
    if (number != NoFreeImageNumber) {
        const QByteArray encoded = coded ? *coded : encode(frame, state);
        std::string reason;
        QString fileName = imageFileName(path, number, format);
        WriteResult result = WriteResult::Failed;
        if (encoded.isEmpty())
            reason = "the frame could not be encoded as " + format.toLatin1().toStdString();
        else
            result = write(encoded, fileName, reason);
        while (result == WriteResult::Taken) {
            // Somebody else wrote this number meanwhile: never overwrite, move on to the next
            // free one, past every file present now.
            const qint64 free = firstFreeImageNumber(path, format);
            if (free == NoFreeImageNumber || number == std::numeric_limits<qint64>::max()) {
                number = NoFreeImageNumber;
                break;
            }
            number = std::max(number + 1, free);
            fileName = imageFileName(path, number, format);
            result = write(encoded, fileName, reason);
        }
        written = result == WriteResult::Written;
        if (written)
            state.bytes += encoded.size();
        if (number != NoFreeImageNumber) {
            outcome = StageEvent{written ? StageEvent::Kind::FrameWritten : StageEvent::Kind::WriteFailed, fileName,
                                 written ? QString() : QString::fromStdString(reason), frame.number};
        }
    }
    if (written)
        state.fileCounter = number == std::numeric_limits<qint64>::max() ? NoFreeImageNumber : number + 1;
    else if (number == NoFreeImageNumber)
        state.fileCounter = NoFreeImageNumber;
    if (number == NoFreeImageNumber && !state.usedUpReported) {
        state.usedUpReported = true;
        outcome = numbersUsedUp(path, format);
    }
    return outcome;
}

SimpleImageSaver::WriteResult SimpleImageSaver::write(const QByteArray &encoded, const QString &fileName,
                                                      std::string &reason) const
{
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
    if (const int error = writeAll(fd, encoded.constData(), encoded.size())) {
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
