#include "vieweroptions.h"

#include "commandline.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <limits>

OptionsResult parseViewerOptions(const QStringList &arguments, ViewerOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the frames that a running capture_server pushes over TCP. Without options the "
        "host and the port are asked for in dialogs."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Host name or address of capture_server. Skips the host dialog."),
                                        QStringLiteral("HOST"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TCP port of capture_server, 1-65535: any port it can listen on (the "
                                                       "port dialog offers 0-65000 only). Skips the port dialog."),
                                        QStringLiteral("N"));
    const QCommandLineOption framesOption(QStringLiteral("frames"),
                                          QStringLiteral("Quit after N frames shown."), QStringLiteral("N"));
    const QCommandLineOption saveOption(QStringLiteral("save"),
                                        QStringLiteral("Also write each shown frame as DIR/frameN.png, N from 0 in the order shown."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption timingOption(QStringLiteral("timing-log"),
                                          QStringLiteral("For benchmarks: write \"<counter> <monotonic ms>\" to FILE whenever a "
                                                         "frame reaches the screen, the counter read from the strip of 32 "
                                                         "black or white 16x16 cells at the frame's top-left."),
                                          QStringLiteral("FILE"));
    parser.addOptions({hostOption, portOption, framesOption, saveOption, timingOption});

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return OptionsResult::Error;
    }
    if (parser.isSet(helpOption)) {
        message = parser.helpText();
        return OptionsResult::Exit;
    }
    if (parser.isSet(versionOption)) {
        message = QStringLiteral("stream_viewer ") + QStringLiteral(DESKCAST_VERSION) + QLatin1Char('\n');
        return OptionsResult::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
        return OptionsResult::Error;
    }

    ViewerOptions parsed;
    if (parser.isSet(hostOption)) {
        const QString host = parser.value(hostOption).trimmed();
        if (host.isEmpty() || host.contains(QLatin1Char(' '))) {
            message = QStringLiteral("Invalid value for --host: '%1' (expected a host name or address).")
                          .arg(parser.value(hostOption));
            return OptionsResult::Error;
        }
        parsed.host = host;
    }
    if (parser.isSet(portOption)) {
        int port = 0;
        if (!parseIntInRange(parser.value(portOption), 1, 65535, port)) {
            message = QStringLiteral("Invalid value for --port: '%1' (expected a number from 1 to 65535).")
                          .arg(parser.value(portOption));
            return OptionsResult::Error;
        }
        parsed.port = port;
    }
    if (parser.isSet(framesOption)) {
        int frames = 0;
        if (!parseIntInRange(parser.value(framesOption), 1, std::numeric_limits<int>::max(), frames)) {
            message = QStringLiteral("Invalid value for --frames: '%1' (expected a positive number).")
                          .arg(parser.value(framesOption));
            return OptionsResult::Error;
        }
        parsed.frames = frames;
    }
    if (parser.isSet(saveOption)) {
        const QString dir = parser.value(saveOption);
        if (dir.trimmed().isEmpty() || !QDir().mkpath(dir) || !QFileInfo(dir).isDir() || !QFileInfo(dir).isWritable()) {
            message = QStringLiteral("Invalid value for --save: '%1' (expected a folder that can be created and written to).")
                          .arg(dir);
            return OptionsResult::Error;
        }
        parsed.saveDir = dir;
    }
    if (parser.isSet(timingOption)) {
        const QString file = parser.value(timingOption);
        if (file.trimmed().isEmpty() || QFileInfo(file).isDir()) {
            message = QStringLiteral("Invalid value for --timing-log: '%1' (expected a file name).").arg(file);
            return OptionsResult::Error;
        }
        parsed.timingLog = file;
    }
    options = parsed;
    return OptionsResult::Run;
}
