// Opens the web view in a headless Chromium and reports what the page measures: its frame rate
// (over requestAnimationFrame times of the frames drawn that changed the picture) once a second,
// and the frames shown.
// Usage: webprobe URL [SECONDS [WARMUP_SECONDS]]; prints one line per second and a summary.
// WEBPROBE_JS: a script the page runs before the warm-up (to switch a part off and see its cost).
// WEBPROBE_TIMELINE: a file for the page's per-frame stages over the measured seconds, one line a
// frame drawn: "<received ms> <bytes> <decoded ms> <drawn ms> <pieces>" (the page's clock).
#include "headlesschromium.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonValue>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <iostream>
#include <vector>

namespace {

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::cerr << "usage: webprobe URL [SECONDS [WARMUP_SECONDS]]" << std::endl;
        return 2;
    }
    const int seconds = args.size() > 2 ? args[2].toInt() : 10;
    const int warmup = args.size() > 3 ? args[3].toInt() : 5;

    HeadlessChromium browser;
    QString error;
    if (!browser.open(args[1], 1920, 1080, &error)) {
        std::cerr << error.toLocal8Bit().constData() << std::endl;
        return 1;
    }
    const QRegularExpression status(QStringLiteral("^connected, (\\d+) frames shown, ([0-9.]+) frames/s"));
    auto sample = [&](int &shown, double &rate) {
        const QString text = browser.evaluate(QStringLiteral("document.getElementById('status').textContent")).toString();
        const QRegularExpressionMatch match = status.match(text);
        shown = match.hasMatch() ? match.captured(1).toInt() : -1;
        rate = match.hasMatch() ? match.captured(2).toDouble() : 0;
        return text;
    };
    int shown0 = 0;
    double rate = 0;
    for (int i = 0; i < 100 && (sample(shown0, rate), shown0 < 1); ++i)
        pause(200); // the page is still loading
    // Also time each decode, to tell the browser's share from the server's.
    (void)browser.evaluate(QStringLiteral(
        "window.decodeTimes = []; const decodeImage = window.createImageBitmap;"
        "window.createImageBitmap = blob => { const start = performance.now();"
        "  return decodeImage(blob).then(bitmap => { decodeTimes.push(performance.now() - start); return bitmap; }); };"
        "if (window.ImageDecoder) { const decodeFrame = ImageDecoder.prototype.decode;"
        "  ImageDecoder.prototype.decode = function (options) { const start = performance.now();"
        "    return decodeFrame.call(this, options).then(r => { decodeTimes.push(performance.now() - start); return r; }); }; }"
        "true"));
    if (qEnvironmentVariableIsSet("WEBPROBE_JS"))
        (void)browser.evaluate(qEnvironmentVariable("WEBPROBE_JS"));
    pause(warmup * 1000);
    (void)browser.evaluate(QStringLiteral("decodeTimes = []; true"));
    const QString timelinePath = qEnvironmentVariable("WEBPROBE_TIMELINE");
    if (!timelinePath.isEmpty())
        (void)browser.evaluate(QStringLiteral("window.deskcast.timeline = []; true"));
    sample(shown0, rate);
    QElapsedTimer clock;
    clock.start();
    std::vector<double> rates;
    int shown = shown0;
    for (int i = 0; i < seconds; ++i) {
        pause(1000);
        const QString text = sample(shown, rate);
        rates.push_back(rate);
        std::cout << text.toLocal8Bit().constData() << std::endl;
    }
    const double elapsed = clock.elapsed() / 1000.0;
    std::sort(rates.begin(), rates.end());
    std::cout << "page rate (requestAnimationFrame, median of " << rates.size() << " samples): "
              << rates[rates.size() / 2] << " frames/s, lowest " << rates.front() << std::endl;
    std::cout << "frames shown: " << shown - shown0 << " in " << elapsed << " s = " << (shown - shown0) / elapsed
              << " frames/s" << std::endl;
    const double decodeMs = browser.evaluate(QStringLiteral(
        "decodeTimes.length ? decodeTimes.reduce((a, b) => a + b, 0) / decodeTimes.length : -1")).toDouble();
    std::cout << "browser decode of a piece: " << decodeMs << " ms on average (pieces of a frame decode at once)"
              << std::endl;
    std::cout << "pieces drawn since the page opened: "
              << browser.evaluate(QStringLiteral("window.deskcast.png")).toInt() << " PNG, "
              << browser.evaluate(QStringLiteral("window.deskcast.jpeg")).toInt() << " JPEG" << std::endl;
    if (!timelinePath.isEmpty()) {
        QFile file(timelinePath);
        const QString lines = browser.evaluate(QStringLiteral(
            "window.deskcast.timeline.map(e => e.map(v => v.toFixed(3)).join(' ')).join('\\n')")).toString();
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(lines.toUtf8() + '\n') < 0) {
            std::cerr << "cannot write " << timelinePath.toLocal8Bit().constData() << std::endl;
            return 1;
        }
    }
    return shown > shown0 ? 0 : 1;
}
