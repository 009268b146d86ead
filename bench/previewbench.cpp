// Shows the same 640x480 frames at 30 Hz in a window laid out like the control window (the
// preview, a slider with a frame label that changes every frame, buttons, radio buttons, a spin
// box) and reports this process's CPU per shown frame; preview_bench.py adds the X server's.
// Usage: previewbench --mode raster|opengl|widget [--frames N] [--fps N] [--preview WxH]
//                     [--content moving|part]
//   raster, opengl: the preview on each of its paths; widget: a QOpenGLWidget that uploads the
//   whole frame and draws it, as the preview did before it had the two paths; plain: a QWidget
//   that paints the whole frame (of its size) with QPainter::drawImage, the least a preview costs.
// Prints "measuring" when the measured frames begin and
// "done <frames shown> <CPU ms of this process>" at the end.
#include "bandmap.h"
#include "capturedframe.h"
#include "glformat.h"
#include "glstreamrenderer.h"

#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QCommandLineParser>
#include <QHBoxLayout>
#include <QLabel>
#include <QOpenGLWidget>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

namespace {

constexpr int WarmupFrames = 30;

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// `count` frames of a photo-like picture: `moving` scrolls all of it (every band changes),
// otherwise only a 320x180 "video" in the middle and the counter strip change.
std::vector<QImage> makeFrames(int count, const QSize &size, bool moving)
{
    QImage base(size.width() + 64, size.height() + 64, QImage::Format_RGB32);
    QRandomGenerator rng(3);
    for (int y = 0; y < base.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(base.scanLine(y));
        for (int x = 0; x < base.width(); ++x) {
            const int grain = int(rng.bounded(17)) - 8;
            line[x] = qRgb(qBound(0, int(128 + 90 * std::sin(x * 0.02)) + grain, 255),
                           qBound(0, int(120 + 80 * std::cos(y * 0.03)) + grain, 255),
                           qBound(0, int(110 + 70 * std::sin((x + y) * 0.01)) + grain, 255));
        }
    }
    std::vector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QImage frame = moving ? base.copy(i % 64, (i * 3) % 64, size.width(), size.height())
                              : base.copy(0, 0, size.width(), size.height());
        QPainter painter(&frame);
        if (!moving) {
            const QRect video(size.width() / 2 - 160, size.height() / 2 - 90, 320, 180);
            painter.drawImage(video, base, video.translated(i % 64, (i * 3) % 64));
        }
        painter.fillRect(0, 0, 200, 24, Qt::black);
        painter.setPen(Qt::yellow);
        painter.drawText(8, 18, QStringLiteral("frame %1").arg(i));
        frames.push_back(frame);
    }
    return frames;
}

// The preview as it was before: a QOpenGLWidget, one texture, the whole frame uploaded.
class WidgetPreview : public QOpenGLWidget
{
public:
    void show(const QImage &frame)
    {
        m_frame = frame;
        m_dirty = true;
        update();
    }
    QSize sizeHint() const override { return {640, 480}; }

protected:
    void initializeGL() override
    {
        const QColor clear = QColor::fromCmykF(0.39f, 0.39f, 0.0f, 0.0f, 1.0f);
        glClearColor(GLclampf(clear.redF()), GLclampf(clear.greenF()), GLclampf(clear.blueF()), 1.0f);
        glEnable(GL_TEXTURE_2D);
        glGenTextures(1, &m_texture);
        glBindTexture(GL_TEXTURE_2D, m_texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    }
    void paintGL() override
    {
        glClear(GL_COLOR_BUFFER_BIT);
        if (m_frame.isNull())
            return;
        glBindTexture(GL_TEXTURE_2D, m_texture);
        if (m_dirty) {
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, m_frame.width(), m_frame.height(), 0, GL_BGRA, GL_UNSIGNED_BYTE,
                         m_frame.constBits());
            m_dirty = false;
        }
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, 1, 1, 0, -1, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glBegin(GL_QUADS);
        glTexCoord2d(0, 0);
        glVertex2d(0, 0);
        glTexCoord2d(1, 0);
        glVertex2d(1, 0);
        glTexCoord2d(1, 1);
        glVertex2d(1, 1);
        glTexCoord2d(0, 1);
        glVertex2d(0, 1);
        glEnd();
    }

private:
    QImage m_frame;
    GLuint m_texture = 0;
    bool m_dirty = false;
};

// The figure to reach: a plain widget that paints a frame already of its size, all of it.
class PlainPreview : public QWidget
{
public:
    void show(const QImage &frame)
    {
        m_frame = frame;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.drawImage(0, 0, m_frame);
    }

private:
    QImage m_frame;
};

} // namespace

int main(int argc, char **argv)
{
    setupDefaultSurfaceFormat();
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"mode", "raster, opengl, widget or plain", "mode", "raster"});
    parser.addOption({"frames", "frames measured", "n", "300"});
    parser.addOption({"fps", "frames a second", "n", "30"});
    parser.addOption({"preview", "size of the preview", "WxH", "640x480"});
    parser.addOption({"still-label", "the frame label does not change (to tell its share)"});
    parser.addOption({"content", "moving (every band changes) or part (a 320x180 video)", "content", "moving"});
    parser.process(app);
    const QString mode = parser.value("mode");
    const int frames = parser.value("frames").toInt();
    const int fps = parser.value("fps").toInt();
    const QStringList previewSize = parser.value("preview").split('x');
    const QSize preview(previewSize.value(0).toInt(), previewSize.value(1).toInt());
    const std::vector<QImage> images = makeFrames(60, QSize(640, 480), parser.value("content") == "moving");
    // The recorder's band maps come with the frames: made here once, not timed.
    std::vector<BandMap> maps;
    for (size_t i = 0; i < images.size(); ++i)
        maps.push_back(BandMap::compare(images[i], images[(i + images.size() - 1) % images.size()]));

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    GLStreamRenderer *renderer = nullptr;
    WidgetPreview *widget = nullptr;
    PlainPreview *plain = nullptr;
    QWidget *previewWidget = nullptr;
    if (mode == "widget") {
        widget = new WidgetPreview;
        previewWidget = widget;
    } else if (mode == "plain") {
        plain = new PlainPreview;
        previewWidget = plain;
    } else {
        renderer = new GLStreamRenderer(mode == "opengl" ? PreviewPath::OpenGL : PreviewPath::Raster, nullptr);
        previewWidget = renderer;
    }
    previewWidget->setFixedSize(preview);
    layout->addWidget(previewWidget, 100);
    auto *slider = new QSlider(Qt::Horizontal);
    auto *label = new QLabel(QStringLiteral("No frames yet"));
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("Frame 00000 of 00000")));
    auto *sliderRow = new QHBoxLayout;
    sliderRow->addWidget(slider, 1);
    sliderRow->addWidget(label);
    layout->addLayout(sliderRow);
    layout->addWidget(new QPushButton(QStringLiteral("Select area")));
    auto *handlerRow = new QHBoxLayout;
    handlerRow->addWidget(new QLabel(QStringLiteral("Imagehandler:")));
    handlerRow->addWidget(new QRadioButton(QStringLiteral("Tcp Server")));
    handlerRow->addWidget(new QRadioButton(QStringLiteral("Image saver")));
    layout->addLayout(handlerRow);
    layout->addWidget(new QSpinBox);
    layout->addWidget(new QCheckBox(QStringLiteral("Record cursor")));
    layout->addWidget(new QPushButton(QStringLiteral("Start/Stop")));
    window.show();

    int handed = 0;
    int shown = 0;
    bool measuring = false;
    double cpuStart = 0;
    int shownStart = 0;
    const auto painted = [&] { ++shown; };
    if (renderer)
        QObject::connect(renderer, &GLStreamRenderer::SIG_framePainted, &app, painted);
    else if (widget)
        QObject::connect(widget, &QOpenGLWidget::frameSwapped, &app, painted);

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1000 / fps);
    QObject::connect(&timer, &QTimer::timeout, &app, [&] {
        if (handed == WarmupFrames) {
            measuring = true;
            cpuStart = processCpuMs();
            shownStart = shown;
            std::printf("measuring\n");
            std::fflush(stdout);
        }
        if (handed == WarmupFrames + frames) {
            timer.stop();
            std::printf("done %d %.1f\n", shown - shownStart, processCpuMs() - cpuStart);
            std::fflush(stdout);
            QCoreApplication::quit();
            return;
        }
        const int index = handed % int(images.size());
        const QImage &frame = images[size_t(index)];
        if (renderer) {
            renderer->updateAndStoreTexture(CapturedFrame{frame, maps[size_t(index)], handed});
        } else if (widget) {
            widget->show(frame);
        } else {
            plain->show(frame);
            ++shown; // painted at the next repaint, every frame differs
        }
        ++handed;
        if (!parser.isSet("still-label"))
            label->setText(QStringLiteral("Frame %1 of %1").arg(handed));
    });
    timer.start();
    return app.exec();
}
