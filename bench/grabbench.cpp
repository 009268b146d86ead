// Cost of one screen grab through each path: QScreen::grabWindow, and grabScreenArea (the
// recorder's call, through shared memory where available). Prints wall time and this process's
// CPU time per grab, and the X server's CPU time per grab when its process can be found (the
// lock file of the display names it) and read. Then what "Show clicks" adds to each 1920x1080
// frame: the watcher's look for new presses with no ring live, and drawing live rings.
#include "clickwatcher.h"
#include "monotonicclock.h"
#include "screengrabber.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>

#include <ctime>
#include <functional>
#include <iostream>
#include <unistd.h>

namespace {

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// The X server's pid from /tmp/.X<display>-lock, or 0.
qint64 serverPid()
{
    const QRegularExpression display(QStringLiteral("^[^:]*:(\\d+)"));
    const QRegularExpressionMatch match = display.match(qEnvironmentVariable("DISPLAY"));
    if (!match.hasMatch())
        return 0;
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(match.captured(1)));
    if (!lock.open(QIODevice::ReadOnly))
        return 0;
    return lock.readAll().trimmed().toLongLong();
}

// User plus system CPU time of a process in ms, or -1 when it cannot be read.
double processCpuMs(qint64 pid)
{
    if (pid <= 0)
        return -1;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name (which is in parentheses and may hold spaces).
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble(); // utime, stime
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

void measure(const char *label, const QSize &size, int iterations, qint64 server,
             const std::function<QSize()> &grab)
{
    for (int i = 0; i < 5; ++i) // warm-up: first connections, segment, allocator
        (void)grab();
    qint64 pixels = 0;
    const double cpuStart = processCpuMs();
    const double serverStart = processCpuMs(server);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < iterations; ++i)
        pixels += grab().width();
    const double wallMs = double(wall.nsecsElapsed()) / 1e6;
    const double cpuMs = processCpuMs() - cpuStart;
    const double serverEnd = processCpuMs(server);

    std::cout << size.width() << "x" << size.height() << " " << label << ": "
              << wallMs / iterations << " ms wall, " << cpuMs / iterations << " ms CPU";
    if (serverStart >= 0 && serverEnd >= 0)
        std::cout << ", " << (serverEnd - serverStart) / iterations << " ms X server CPU";
    std::cout << " per grab (" << iterations << " grabs";
    if (pixels != qint64(size.width()) * iterations)
        std::cout << ", SOME GRABS FAILED";
    std::cout << ")" << std::endl;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the cost of one screen grab per path."));
    parser.addHelpOption();
    const QCommandLineOption iterationsOption(QStringLiteral("iterations"),
                                              QStringLiteral("Grabs per measurement (default 200)."),
                                              QStringLiteral("N"), QStringLiteral("200"));
    parser.addOption(iterationsOption);
    parser.process(app);
    bool ok = false;
    const int iterations = parser.value(iterationsOption).toInt(&ok);
    if (!ok || iterations < 1) {
        std::cout << "Invalid --iterations: " << parser.value(iterationsOption).toLatin1().constData()
                  << " (expected a positive number)" << std::endl;
        return 2;
    }

    QScreen *screen = QGuiApplication::primaryScreen();
    const qint64 server = serverPid();
    std::cout << "Platform " << QGuiApplication::platformName().toLatin1().constData() << ", shared-memory grab "
              << (sharedMemoryGrabAvailable() ? "available" : "unavailable") << std::endl;

    for (const QSize size : {QSize(640, 480), QSize(1920, 1080)}) {
        const QRect area(screen->geometry().topLeft(), size.boundedTo(screen->geometry().size()));
        measure("QScreen::grabWindow", area.size(), iterations, server, [&] {
            return screen->grabWindow(0, 0, 0, area.width(), area.height()).size();
        });
        measure("grabScreenArea", area.size(), iterations, server, [&] {
            return grabScreenArea(screen, area).size();
        });
    }

    // "Show clicks" on a grabbed frame, as the recorder calls it after each grab.
    const QRect full(screen->geometry().topLeft(), QSize(1920, 1080).boundedTo(screen->geometry().size()));
    QImage frame = grabScreenArea(screen, full);
    ClickWatcher watcher;
    measure("Show clicks, no ring live (per frame)", full.size(), iterations * 10, server, [&] {
        watcher.drawInto(frame, full.topLeft(), monotonicMs());
        return frame.size();
    });
    for (const int rings : {1, 3}) {
        std::deque<Click> clicks;
        const qint64 now = monotonicMs();
        for (int i = 0; i < rings; ++i)
            clicks.push_back(Click{QPoint(300 + 400 * i, 500), 1 + i, now});
        const std::string label = "Show clicks, " + std::to_string(rings) + " ring(s) live (per frame)";
        measure(label.c_str(), full.size(), iterations * 10, server, [&] {
            drawClickRings(frame, full.topLeft(), clicks, now);
            return frame.size();
        });
    }
    return 0;
}
