#pragma once

#include <QImage>
#include <QPoint>
#include <QStringList>
#include <QWidget>

class QProcess;

#include <sstream>
#include <streambuf>

// Collects everything written to std::cout while it lives.
// Sends `signal` to `process`; false, with nothing sent, when it has no process any more (its
// pid 0 would reach the test's own process group, ctest and all).
bool signalProcess(const QProcess &process, int signal);

class CoutCapture
{
public:
    CoutCapture();
    ~CoutCapture();
    CoutCapture(const CoutCapture &) = delete;
    CoutCapture &operator=(const CoutCapture &) = delete;

    // Lines written so far (without their line ends).
    [[nodiscard]] QStringList lines() const;
    void clear();

private:
    std::ostringstream m_buffer;
    std::streambuf *m_previous;
};

// An image whose every pixel differs from its neighbours in a position-dependent way, so that a
// shifted, flipped, scaled or cropped copy does not match it.
[[nodiscard]] QImage patternImage(int width, int height, int seed = 0);

// Smooth colour fields with grain: compresses like a photograph.
[[nodiscard]] QImage photoLikeImage(int width, int height, int seed = 0);

// Peak signal-to-noise ratio over the RGB channels; infinity for identical images.
[[nodiscard]] double psnr(const QImage &a, const QImage &b);

// Largest difference of any colour channel over all pixels; -1 when the sizes differ.
[[nodiscard]] int maxChannelDifference(const QImage &a, const QImage &b);

// A frameless top-level window that shows an image at a fixed place on the X screen, above
// everything else and untouched by any window manager.
class PatternWindow : public QWidget
{
public:
    PatternWindow(const QImage &image, const QPoint &topLeft);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
};

// Resident set size of this process in bytes (from /proc/self/statm).
[[nodiscard]] qint64 residentBytes();

// Runs a program of the system (xdotool, ...) to its end and returns its exit code, -1 when it
// did not run. It runs without the sanitizer build's LD_PRELOAD: its own leaks are not ours.
[[nodiscard]] int runSystemTool(const QString &program, const QStringList &arguments);
