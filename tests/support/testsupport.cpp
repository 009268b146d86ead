#include "testsupport.h"

#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>

#include <cmath>
#include <iostream>
#include <limits>
#include <csignal>
#include <unistd.h>

bool signalProcess(const QProcess &process, int signal)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
}

CoutCapture::CoutCapture()
    : m_previous(std::cout.rdbuf(m_buffer.rdbuf()))
{
}

CoutCapture::~CoutCapture()
{
    std::cout.rdbuf(m_previous);
}

QStringList CoutCapture::lines() const
{
    QStringList result = QString::fromLatin1(m_buffer.str()).split(QLatin1Char('\n'));
    if (!result.isEmpty() && result.constLast().isEmpty())
        result.removeLast();
    return result;
}

void CoutCapture::clear()
{
    m_buffer.str(std::string());
}

QImage patternImage(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            // Large blocks of distinct colours (survive JPEG) with position coded into them.
            const int bx = (x + seed) / 16;
            const int by = y / 16;
            line[x] = qRgb((bx * 53 + by * 17) % 256, (by * 71 + bx * 29 + 40) % 256, ((bx ^ by) * 97 + 11) % 256);
        }
    }
    return image;
}

QImage photoLikeImage(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(quint32(seed) + 7);
    const double fx = 0.002 + rng.bounded(0.01);
    const double fy = 0.002 + rng.bounded(0.01);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grain = int(rng.bounded(13)) - 6;
            const int r = int(128 + 90 * std::sin(x * fx + y * 0.001)) + grain;
            const int g = int(120 + 80 * std::cos(y * fy - x * 0.002)) + grain;
            const int b = int(110 + 70 * std::sin((x + y) * 0.004)) + grain;
            line[x] = qRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, b, 255));
        }
    }
    return image;
}

double psnr(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.isNull())
        return 0.0;
    const QImage ca = a.convertToFormat(QImage::Format_RGB32);
    const QImage cb = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0.0;
    for (int y = 0; y < ca.height(); ++y) {
        const auto *la = reinterpret_cast<const QRgb *>(ca.constScanLine(y));
        const auto *lb = reinterpret_cast<const QRgb *>(cb.constScanLine(y));
        for (int x = 0; x < ca.width(); ++x) {
            const int dr = qRed(la[x]) - qRed(lb[x]);
            const int dg = qGreen(la[x]) - qGreen(lb[x]);
            const int db = qBlue(la[x]) - qBlue(lb[x]);
            sum += dr * dr + dg * dg + db * db;
        }
    }
    const double mse = sum / (3.0 * ca.width() * ca.height());
    if (mse == 0.0)
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

int maxChannelDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    const QImage ca = a.convertToFormat(QImage::Format_RGB32);
    const QImage cb = b.convertToFormat(QImage::Format_RGB32);
    int worst = 0;
    for (int y = 0; y < ca.height(); ++y) {
        const auto *la = reinterpret_cast<const QRgb *>(ca.constScanLine(y));
        const auto *lb = reinterpret_cast<const QRgb *>(cb.constScanLine(y));
        for (int x = 0; x < ca.width(); ++x) {
            worst = std::max({worst, std::abs(qRed(la[x]) - qRed(lb[x])),
                              std::abs(qGreen(la[x]) - qGreen(lb[x])), std::abs(qBlue(la[x]) - qBlue(lb[x]))});
        }
    }
    return worst;
}

PatternWindow::PatternWindow(const QImage &image, const QPoint &topLeft)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint)
    , m_image(image)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(QRect(topLeft, image.size() / image.devicePixelRatio()));
}

void PatternWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawImage(rect(), m_image);
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields[1].toLongLong() * sysconf(_SC_PAGESIZE);
}

int runSystemTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}
