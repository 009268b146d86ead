// Cost of following a window, per frame, on top of the grab itself: asking the X server where
// the window is (before and after the grab), grabbing with black off the screen, and scaling a
// resized window into the first frame's size. Runs against a real window of its own.
#include "windowframe.h"
#include "windowtracker.h"
#include "x11grabber.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <ctime>
#include <functional>
#include <iostream>

namespace {

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

void measure(const std::string &label, int iterations, const std::function<void()> &step)
{
    for (int i = 0; i < 5; ++i)
        step();
    const double cpuStart = processCpuMs();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < iterations; ++i)
        step();
    std::cout << label << ": " << double(wall.nsecsElapsed()) / 1e6 / iterations << " ms wall, "
              << (processCpuMs() - cpuStart) / iterations << " ms CPU per frame (" << iterations << " frames)"
              << std::endl;
}

// A top-level window with something in it, where the benchmark puts it.
class Scene : public QWidget
{
public:
    Scene()
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QLinearGradient(0, 0, width(), height()));
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("followed"));
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Measures the cost of following a window per frame."));
    parser.addHelpOption();
    const QCommandLineOption iterationsOption(QStringLiteral("iterations"), QStringLiteral("Frames per measurement (default 200)."),
                                              QStringLiteral("N"), QStringLiteral("200"));
    parser.addOption(iterationsOption);
    parser.process(app);
    const int iterations = std::max(1, parser.value(iterationsOption).toInt());

    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect place(screen.topLeft(), QSize(1920, 1080).boundedTo(screen.size()));
    Scene scene;
    scene.setGeometry(place);
    scene.show();
    QElapsedTimer shown;
    shown.start();
    while (shown.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    QString error;
    const std::optional<FoundWindow> window = findWindow(quint32(scene.winId()), error);
    if (!window) {
        std::cout << "Cannot find the window: " << error.toLatin1().constData() << std::endl;
        return 1;
    }
    WindowTracker tracker(*window);
    X11Grabber grabber;
    const std::string size = std::to_string(place.width()) + "x" + std::to_string(place.height());

    measure(size + " grab alone (an area)", iterations, [&] { (void)grabber.grab(place, false); });
    measure(size + " tracking alone (one question a frame)", iterations, [&] { (void)tracker.area(); });
    measure(size + " followed window (grab where seen last, then where is it now)", iterations, [&] {
        (void)grabWithBlackOutside(grabber, tracker.window().area, false);
        (void)tracker.area();
    });
    const QRect halfOff = place.translated(-place.width() / 4, 0);
    measure(size + " area a quarter off the left edge (grab + black)", iterations,
            [&] { (void)grabWithBlackOutside(grabber, halfOff, false); });

    const QImage frame = grabber.grab(place, false);
    for (const QSize resized : {QSize(2560, 1440), QSize(1920, 1200), QSize(1280, 720), QSize(1366, 1000)}) {
        const QImage content = frame.scaled(resized);
        measure("scale a " + std::to_string(resized.width()) + "x" + std::to_string(resized.height()) + " window into "
                    + size,
                iterations, [&] { (void)fitIntoFrame(content, frame.size()); });
        // A run's fitter scales again only the rows of bands that changed.
        FrameFitter fitter;
        QImage changing = content;
        (void)fitter.fit(changing, frame.size());
        // Each grab is a new image: two of the same pixels, in turn.
        const QImage twin = content.copy();
        bool turn = false;
        measure("  the same window still", iterations, [&] { (void)fitter.fit((turn = !turn) ? twin : content, frame.size()); });
        int row = 0;
        measure("  the same window, 16 rows changed", iterations, [&] {
            changing.detach();
            row = (row + 16) % (changing.height() - 16);
            for (int y = row; y < row + 16; ++y)
                reinterpret_cast<quint32 *>(changing.scanLine(y))[0] ^= 0x00ffffffu;
            (void)fitter.fit(changing, frame.size());
        });
    }
    return 0;
}
