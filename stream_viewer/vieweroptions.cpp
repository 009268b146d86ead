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
    parser.addHelpOption();
    parser.addVersionOption();
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

    if (const OptionsResult result = parseArguments(parser, arguments, "stream_viewer", message);
        result != OptionsResult::Run)
        return result;

    ViewerOptions parsed;
    if (parser.isSet(hostOption)) {
        const QString host = parser.value(hostOption).trimmed();
        if (host.isEmpty() || host.contains(QLatin1Char(' '))) {
            message = invalidValue(parser, hostOption, QStringLiteral("a host name or address"));
            return OptionsResult::Error;
        }
        parsed.host = host;
    }
    if (!readIntOption(parser, portOption, 1, 65535, parsed.port, message))
        return OptionsResult::Error;
    if (!readIntOption(parser, framesOption, 1, std::numeric_limits<int>::max(), parsed.frames, message))
        return OptionsResult::Error;
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
