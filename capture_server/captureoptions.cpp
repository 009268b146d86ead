#include "captureoptions.h"

#include "commandline.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

bool parseArea(const QString &text, QRect &area)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    int values[4] = {};
    const int limits[4][2] = {{-100000, 100000}, {-100000, 100000}, {1, 100000}, {1, 100000}};
    for (int i = 0; i < 4; ++i) {
        if (!parseIntInRange(parts[i], limits[i][0], limits[i][1], values[i]))
            return false;
    }
    area = QRect(values[0], values[1], values[2], values[3]);
    return true;
}

} // namespace

OptionsResult parseCaptureOptions(const QStringList &arguments, CaptureOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Captures an area of the screen at a chosen rate into numbered JPEG files below ./capture "
        "or to stream viewers over TCP. Without options everything is chosen in the window."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TCP port to listen on, 0-65535 (0 picks a free one); the port dialog "
                                                       "offers 0-65000 only. Skips the port dialog."),
                                        QStringLiteral("N"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on (default: every address)."),
                                        QStringLiteral("ADDRESS"));
    const QCommandLineOption areaOption(QStringLiteral("area"),
                                        QStringLiteral("Area to capture, in logical pixels: the screen's pixels divided by the "
                                                       "scale factor, so with QT_SCALE_FACTOR=2 the default 0,0,640,480 "
                                                       "grabs 1280x960 screen pixels (default 0,0,640,480)."),
                                        QStringLiteral("X,Y,W,H"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"),
                                       QStringLiteral("Target frames per second, 1-60 (default 20)."),
                                       QStringLiteral("N"));
    const QCommandLineOption handlerOption(QStringLiteral("handler"),
                                           QStringLiteral("Where frames go: saver (JPEG files below ./capture) or tcp."),
                                           QStringLiteral("saver|tcp"));
    const QCommandLineOption startOption(QStringLiteral("start"),
                                         QStringLiteral("Start capturing at once; an area wholly off the screen ends the program with status 1."));
    const QCommandLineOption framesOption(QStringLiteral("frames"),
                                          QStringLiteral("Stop after N frames and quit."),
                                          QStringLiteral("N"));
    const QCommandLineOption cursorOption(QStringLiteral("cursor"),
                                          QStringLiteral("Draw the mouse pointer into every frame (\"Record cursor\")."));
    const QCommandLineOption viewerTimeoutOption(
        QStringLiteral("viewer-timeout"),
        QStringLiteral("Drop a TCP viewer that has taken no byte, or a browser that has given no sign of life, for this many seconds, 1-86400 (default 10)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption webOption(QStringLiteral("web"),
                                       QStringLiteral("Also show the capture to web browsers at http://ADDRESS:PORT/ (0-65535; 0 picks a free one)."),
                                       QStringLiteral("PORT"));
    const QCommandLineOption webTokenOption(
        QStringLiteral("web-token"),
        QStringLiteral("The secret in the web view's link, 22-128 letters, digits, '-' or '_' (default: a new random "
                       "one each run)."),
        QStringLiteral("TOKEN"));
    const QCommandLineOption webLosslessOption(
        QStringLiteral("web-lossless"),
        QStringLiteral("The web view sends exact pixels only (no JPEG for bands that change all the time)."));
    parser.addOptions({portOption, bindOption, areaOption, fpsOption, handlerOption, startOption, framesOption,
                       viewerTimeoutOption, cursorOption, webOption, webTokenOption, webLosslessOption});

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return OptionsResult::Error;
    }
    if (parser.isSet(helpOption)) {
        message = parser.helpText();
        return OptionsResult::Exit;
    }
    if (parser.isSet(versionOption)) {
        message = QStringLiteral("capture_server ") + QStringLiteral(DESKCAST_VERSION) + QLatin1Char('\n');
        return OptionsResult::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
        return OptionsResult::Error;
    }

    CaptureOptions parsed;
    if (parser.isSet(portOption)) {
        int port = 0;
        if (!parseIntInRange(parser.value(portOption), 0, 65535, port)) {
            message = QStringLiteral("Invalid value for --port: '%1' (expected a number from 0 to 65535).")
                          .arg(parser.value(portOption));
            return OptionsResult::Error;
        }
        parsed.port = port;
    }
    if (parser.isSet(bindOption)) {
        const QHostAddress address(parser.value(bindOption).trimmed());
        if (address.isNull()) {
            message = QStringLiteral("Invalid value for --bind: '%1' (expected an IPv4 or IPv6 address).")
                          .arg(parser.value(bindOption));
            return OptionsResult::Error;
        }
        parsed.bind = address;
    }
    if (parser.isSet(areaOption)) {
        QRect area;
        if (!parseArea(parser.value(areaOption), area)) {
            message = QStringLiteral("Invalid value for --area: '%1' (expected X,Y,W,H with W and H from 1 to 100000).")
                          .arg(parser.value(areaOption));
            return OptionsResult::Error;
        }
        parsed.area = area;
    }
    if (parser.isSet(fpsOption)) {
        int fps = 0;
        if (!parseIntInRange(parser.value(fpsOption), 1, 60, fps)) {
            message = QStringLiteral("Invalid value for --fps: '%1' (expected a number from 1 to 60).")
                          .arg(parser.value(fpsOption));
            return OptionsResult::Error;
        }
        parsed.fps = fps;
    }
    if (parser.isSet(handlerOption)) {
        const QString handler = parser.value(handlerOption).trimmed().toLower();
        if (handler != QLatin1String("saver") && handler != QLatin1String("tcp")) {
            message = QStringLiteral("Invalid value for --handler: '%1' (expected saver or tcp).")
                          .arg(parser.value(handlerOption));
            return OptionsResult::Error;
        }
        parsed.handler = handler;
    }
    parsed.start = parser.isSet(startOption);
    parsed.cursor = parser.isSet(cursorOption);
    if (parser.isSet(framesOption)) {
        int frames = 0;
        if (!parseIntInRange(parser.value(framesOption), 1, std::numeric_limits<int>::max(), frames)) {
            message = QStringLiteral("Invalid value for --frames: '%1' (expected a positive number).")
                          .arg(parser.value(framesOption));
            return OptionsResult::Error;
        }
        parsed.frames = frames;
    }
    if (parser.isSet(viewerTimeoutOption)) {
        int seconds = 0;
        if (!parseIntInRange(parser.value(viewerTimeoutOption), 1, 86400, seconds)) {
            message = QStringLiteral("Invalid value for --viewer-timeout: '%1' (expected a number from 1 to 86400).")
                          .arg(parser.value(viewerTimeoutOption));
            return OptionsResult::Error;
        }
        parsed.viewerTimeoutSeconds = seconds;
    }
    if (parser.isSet(webOption)) {
        int port = 0;
        if (!parseIntInRange(parser.value(webOption), 0, 65535, port)) {
            message = QStringLiteral("Invalid value for --web: '%1' (expected a number from 0 to 65535).")
                          .arg(parser.value(webOption));
            return OptionsResult::Error;
        }
        parsed.webPort = port;
    }
    if (parser.isSet(webTokenOption)) {
        // At least 128 bits when drawn from these 64 characters; safe in a link and a cookie.
        static const QRegularExpression tokenPattern(QStringLiteral("^[A-Za-z0-9_-]{22,128}$"));
        const QString token = parser.value(webTokenOption);
        if (!tokenPattern.match(token).hasMatch()) {
            message = QStringLiteral("Invalid value for --web-token: expected 22 to 128 letters, digits, '-' or '_'.");
            return OptionsResult::Error;
        }
        parsed.webToken = token;
    }
    parsed.webLossless = parser.isSet(webLosslessOption);
    options = parsed;
    return OptionsResult::Run;
}
