// Benchmark reader for the image stream, on loopback. Three modes:
//   tcpreader --connect HOST:PORT [--warmup S] [--seconds S] [--sample FILE]
//       reads image frames (8-byte length, marker, PNG) as a viewer would, without decoding
//       them, and reports the frames per second delivered and the bytes per frame;
//       --sample writes the last frame's PNG to FILE (for --encode).
//   tcpreader --listen PORT --png-stream [--warmup S] [--seconds S]
//       accepts one connection that carries bare PNG files back to back and reports the same.
//   tcpreader --encode FILE [--repeat N]
//       times the frame encoder on the image in FILE: milliseconds and bytes per frame.
// The measuring window starts with the first frame completed after the warm-up; it prints
// "window start" when it does and "result ..." at the end, so a driver can sample CPU times.
#include "frameencoder.h"
#include "frameparser.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <ctime>
#include <iostream>
#include <memory>
#include <vector>

namespace {

// Counts frames as they complete and keeps the figures of the measuring window.
class Meter
{
public:
    Meter(double warmupSeconds, double windowSeconds)
        : m_warmupMs(qint64(warmupSeconds * 1000))
        , m_windowMs(qint64(windowSeconds * 1000))
    {
        m_clock.start();
    }

    // Returns false once the window is over.
    bool frameDone(qint64 bytes)
    {
        const qint64 now = m_clock.elapsed();
        if (m_firstFrameMs < 0)
            m_firstFrameMs = now;
        if (m_windowStartMs < 0) {
            if (now - m_firstFrameMs < m_warmupMs)
                return true;
            m_windowStartMs = now;
            std::cout << "window start" << std::endl;
            return true; // this frame opens the window; frames after it are counted
        }
        ++m_frames;
        m_bytes += bytes;
        m_lastMs = now;
        return now - m_windowStartMs < m_windowMs;
    }

    bool timedOut() const
    {
        const qint64 now = m_clock.elapsed();
        if (m_windowStartMs >= 0)
            return now - m_windowStartMs > m_windowMs + 10000;
        return now > m_warmupMs + m_windowMs + 60000;
    }

    void report() const
    {
        const double seconds = m_frames > 0 ? double(m_lastMs - m_windowStartMs) / 1000.0 : 0.0;
        const double fps = seconds > 0 ? double(m_frames) / seconds : 0.0;
        const qint64 perFrame = m_frames > 0 ? m_bytes / m_frames : 0;
        std::cout << "result frames " << m_frames << " seconds " << seconds << " fps " << fps
                  << " bytes_per_frame " << perFrame << std::endl;
    }

private:
    QElapsedTimer m_clock;
    qint64 m_warmupMs;
    qint64 m_windowMs;
    qint64 m_firstFrameMs = -1;
    qint64 m_windowStartMs = -1;
    qint64 m_lastMs = 0;
    qint64 m_frames = 0;
    qint64 m_bytes = 0;
};

int readFrames(QTcpSocket &socket, Meter &meter, const QString &samplePath)
{
    FrameParser parser;
    QByteArray lastBody;
    bool running = true;
    while (running && socket.state() == QAbstractSocket::ConnectedState && !meter.timedOut()) {
        if (!socket.waitForReadyRead(1000))
            continue;
        parser.append(socket.readAll());
        for (bool more = true; more && running;) {
            switch (parser.next()) {
            case FrameParser::Step::LengthRead:
                break;
            case FrameParser::Step::FrameComplete:
                lastBody = parser.takeBody();
                running = meter.frameDone(FrameParser::LengthSize + lastBody.size());
                break;
            case FrameParser::Step::ProtocolError:
                std::cerr << "protocol error: " << parser.errorString().toStdString() << std::endl;
                return 1;
            default:
                more = false;
            }
        }
    }
    meter.report();
    if (!samplePath.isEmpty() && lastBody.size() > 4) {
        QFile sample(samplePath);
        if (!sample.open(QIODevice::WriteOnly) || sample.write(lastBody.mid(4)) != lastBody.size() - 4) {
            std::cerr << "cannot write " << samplePath.toStdString() << std::endl;
            return 1;
        }
    }
    return 0;
}

// Bare PNG files back to back: each ends with its IEND chunk.
int readPngStream(QTcpSocket &socket, Meter &meter)
{
    QByteArray buffer;
    qsizetype offset = 0;     // next chunk header within buffer
    qsizetype fileStart = 0;  // start of the PNG being read
    bool running = true;
    while (running && socket.state() == QAbstractSocket::ConnectedState && !meter.timedOut()) {
        if (!socket.waitForReadyRead(1000))
            continue;
        buffer += socket.readAll();
        for (;;) {
            if (offset == fileStart) {
                if (buffer.size() - offset < 8)
                    break;
                if (!buffer.mid(offset, 8).startsWith("\x89PNG")) {
                    std::cerr << "not a PNG stream" << std::endl;
                    return 1;
                }
                offset += 8;
            }
            if (buffer.size() - offset < 8)
                break;
            const quint32 length = qFromBigEndian<quint32>(buffer.constData() + offset);
            const qsizetype chunkEnd = offset + 12 + qsizetype(length);
            if (buffer.size() < chunkEnd)
                break;
            const bool end = buffer.mid(offset + 4, 4) == "IEND";
            offset = chunkEnd;
            if (end) {
                running = meter.frameDone(offset - fileStart);
                buffer.remove(0, offset);
                offset = fileStart = 0;
                if (!running)
                    break;
            }
        }
    }
    meter.report();
    return 0;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Wall and CPU time per encoding: on a loaded machine the CPU time is the steadier figure.
int timeEncoder(const QString &path, int repeat)
{
    const QImage image(path);
    if (image.isNull()) {
        std::cerr << "cannot read " << path.toStdString() << std::endl;
        return 1;
    }
    qint64 bytes = encodeFrame(image).size(); // warms the encoder up
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = threadCpuMs();
    for (int i = 0; i < repeat; ++i)
        bytes = encodeFrame(image).size();
    const double cpuMs = (threadCpuMs() - cpuStart) / repeat;
    const double ms = double(clock.nsecsElapsed()) / 1e6 / repeat;
    std::cout << "encode " << image.width() << "x" << image.height() << " ms " << ms << " cpu_ms " << cpuMs
              << " bytes " << bytes << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads image frames on loopback and reports the rate."));
    parser.addHelpOption();
    const QCommandLineOption connectOption(QStringLiteral("connect"), QStringLiteral("Server to read."),
                                           QStringLiteral("HOST:PORT"));
    const QCommandLineOption listenOption(QStringLiteral("listen"), QStringLiteral("Port to accept one sender on (0: any)."),
                                          QStringLiteral("PORT"));
    const QCommandLineOption pngStreamOption(QStringLiteral("png-stream"),
                                             QStringLiteral("The sender writes bare PNG files back to back."));
    const QCommandLineOption warmupOption(QStringLiteral("warmup"), QStringLiteral("Seconds before measuring."),
                                          QStringLiteral("S"), QStringLiteral("3"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Seconds to measure."),
                                           QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption sampleOption(QStringLiteral("sample"), QStringLiteral("Write the last PNG received to FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption encodeOption(QStringLiteral("encode"), QStringLiteral("Time the frame encoder on FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Encodings to time."),
                                          QStringLiteral("N"), QStringLiteral("20"));
    parser.addOptions({connectOption, listenOption, pngStreamOption, warmupOption, secondsOption, sampleOption,
                       encodeOption, repeatOption});
    parser.process(app);

    if (parser.isSet(encodeOption))
        return timeEncoder(parser.value(encodeOption), qMax(1, parser.value(repeatOption).toInt()));

    Meter meter(parser.value(warmupOption).toDouble(), parser.value(secondsOption).toDouble());
    if (parser.isSet(connectOption)) {
        const QString target = parser.value(connectOption);
        const qsizetype colon = target.lastIndexOf(QLatin1Char(':'));
        QTcpSocket socket;
        socket.connectToHost(target.left(colon), quint16(target.mid(colon + 1).toUInt()));
        if (colon < 0 || !socket.waitForConnected(10000)) {
            std::cerr << "cannot connect to " << target.toStdString() << ": " << socket.errorString().toStdString()
                      << std::endl;
            return 1;
        }
        return readFrames(socket, meter, parser.value(sampleOption));
    }
    if (parser.isSet(listenOption) && parser.isSet(pngStreamOption)) {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, quint16(parser.value(listenOption).toUInt()))) {
            std::cerr << "cannot listen: " << server.errorString().toStdString() << std::endl;
            return 1;
        }
        std::cout << "listening " << server.serverPort() << std::endl;
        if (!server.waitForNewConnection(60000)) {
            std::cerr << "no sender connected" << std::endl;
            return 1;
        }
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        return readPngStream(*socket, meter);
    }
    parser.showHelp(2);
}
