#include "captureoptions.h"

#include "commandline.h"
#include "relayurl.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

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

// An X window id as xwininfo (0x1a00007) or xdotool (27262983) prints it.
bool parseWindowId(const QString &text, quint32 &id)
{
    const QString trimmed = text.trimmed();
    const bool hex = trimmed.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    bool ok = false;
    const uint value = (hex ? trimmed.mid(2) : trimmed).toUInt(&ok, hex ? 16 : 10);
    if (!ok || value == 0)
        return false;
    id = value;
    return true;
}

} // namespace

OptionsResult parseCaptureOptions(const QStringList &arguments, CaptureOptions &options, QString &message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Captures an area of the screen at a chosen rate into numbered JPEG files below ./capture, "
        "to stream viewers over TCP or into a video file (and to a streaming relay), and shows it to "
        "web browsers. Without options everything is chosen in the window."));
    parser.addHelpOption();
    parser.addVersionOption();
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
                                           QStringLiteral("Where frames go: saver (JPEG files below ./capture), tcp, or "
                                                          "video (./capture/captureN.mkv, H.264)."),
                                           QStringLiteral("saver|tcp|video"));
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
    const QCommandLineOption grabberOption(
        QStringLiteral("grabber"),
        QStringLiteral("How the screen is read: x11, or portal (the desktop's ScreenCast portal and PipeWire; "
                       "the default on a Wayland session)."),
        QStringLiteral("x11|portal"));
    const QCommandLineOption videoQualityOption(
        QStringLiteral("video-quality"),
        QStringLiteral("Quality of the video handler: x264's constant rate factor, 0-51, lower is better and larger, "
                       "0 is lossless (default 23; 18 keeps small text crisp)."),
        QStringLiteral("CRF"));
    const QCommandLineOption videoPresetOption(
        QStringLiteral("video-preset"),
        QStringLiteral("x264 speed preset of the video handler, ultrafast to veryslow (default veryfast)."),
        QStringLiteral("NAME"));
    const QCommandLineOption publishOption(
        QStringLiteral("publish"),
        QStringLiteral("Also send the video live to a streaming relay: rtmp://HOST[:PORT]/APP/KEY or rtmps://... (FLV), "
                       "or srt://HOST:PORT (MPEG-TS); implies --handler video."),
        QStringLiteral("URL"));
    const QCommandLineOption noFileOption(QStringLiteral("no-file"),
                                          QStringLiteral("With --publish: send to the relay only, write no video file."));
    const QCommandLineOption audioOption(
        QStringLiteral("audio"),
        QStringLiteral("Sound in the video file, the relay and exports: the system's sound, a microphone, both, or none "
                       "(\"System sound\", \"Microphone\"; default none)."),
        QStringLiteral("system|mic|system,mic|none"));
    const QCommandLineOption audioMicOption(
        QStringLiteral("audio-mic"),
        QStringLiteral("The microphone: a sound server's device (node) name (default: the default input)."),
        QStringLiteral("DEVICE"));
    const QCommandLineOption audioTracksOption(
        QStringLiteral("audio-tracks"),
        QStringLiteral("With both sources: one track mixing them (default), or a track each."),
        QStringLiteral("mixed|separate"));
    std::map<HotkeyAction, QCommandLineOption> hotkeyOptions;
    for (const HotkeyAction action : allHotkeyActions) {
        hotkeyOptions.emplace(action, QCommandLineOption(
            QStringLiteral("hotkey-") + hotkeyOptionName(action),
            QStringLiteral("Global hotkey for %1, working while any window has the focus: one key with modifiers, "
                           "such as Ctrl+Alt+R, or none (default %2).")
                .arg(hotkeyActionName(action), defaultHotkey(action).text),
            QStringLiteral("KEYS")));
    }
    const QCommandLineOption showClicksOption(
        QStringLiteral("show-clicks"),
        QStringLiteral("Draw a ring at the pointer into the frames for half a second at each mouse button press, "
                       "a colour for each button (\"Show clicks\")."));
    const QCommandLineOption windowOption(
        QStringLiteral("window"),
        QStringLiteral("Follow this X window instead of an area: its id as xwininfo (0x...) or xdotool (decimal) prints "
                       "it. The frames keep the window's first size; the capture stops when it closes."),
        QStringLiteral("ID"));
    const QCommandLineOption windowNameOption(
        QStringLiteral("window-name"),
        QStringLiteral("Follow the first window whose name contains TEXT (topmost first), as --window does."),
        QStringLiteral("TEXT"));
    parser.addOptions({portOption, bindOption, areaOption, fpsOption, handlerOption, startOption, framesOption,
                       viewerTimeoutOption, cursorOption, webOption, webTokenOption, webLosslessOption,
                       videoQualityOption, videoPresetOption, publishOption, noFileOption, grabberOption, audioOption,
                       audioMicOption, audioTracksOption});
    for (const auto &[action, option] : hotkeyOptions)
        parser.addOption(option);
    parser.addOption(showClicksOption);
    parser.addOptions({windowOption, windowNameOption});
    const QCommandLineOption historyLimitOption(
        QStringLiteral("history-limit"),
        QStringLiteral("Keep at most SIZE bytes of frames in the history on disk (500M, 20G or a number of bytes; at "
                       "least 1M): beyond it the oldest frames are let go. Default: what leaves a tenth of the "
                       "history's disk, and at least 5 GB, free."),
        QStringLiteral("SIZE"));
    parser.addOption(historyLimitOption);

    if (const OptionsResult result = parseArguments(parser, arguments, "capture_server", message);
        result != OptionsResult::Run)
        return result;

    CaptureOptions parsed;
    if (!readIntOption(parser, portOption, 0, 65535, parsed.port, message))
        return OptionsResult::Error;
    if (parser.isSet(bindOption)) {
        const QHostAddress address(parser.value(bindOption).trimmed());
        if (address.isNull()) {
            message = invalidValue(parser, bindOption, QStringLiteral("an IPv4 or IPv6 address"));
            return OptionsResult::Error;
        }
        parsed.bind = address;
    }
    if (parser.isSet(areaOption)) {
        QRect area;
        if (!parseArea(parser.value(areaOption), area)) {
            message = invalidValue(parser, areaOption, QStringLiteral("X,Y,W,H with W and H from 1 to 100000"));
            return OptionsResult::Error;
        }
        parsed.area = area;
    }
    if (!readIntOption(parser, fpsOption, 1, 60, parsed.fps, message))
        return OptionsResult::Error;
    if (parser.isSet(handlerOption)) {
        const QString handler = parser.value(handlerOption).trimmed().toLower();
        if (handler != QLatin1String("saver") && handler != QLatin1String("tcp") && handler != QLatin1String("video")) {
            message = invalidValue(parser, handlerOption, QStringLiteral("saver, tcp or video"));
            return OptionsResult::Error;
        }
        parsed.handler = handler;
    }
    parsed.start = parser.isSet(startOption);
    parsed.cursor = parser.isSet(cursorOption);
    if (!readIntOption(parser, framesOption, 1, std::numeric_limits<int>::max(), parsed.frames, message))
        return OptionsResult::Error;
    if (!readIntOption(parser, viewerTimeoutOption, 1, 86400, parsed.viewerTimeoutSeconds, message))
        return OptionsResult::Error;
    if (!readIntOption(parser, webOption, 0, 65535, parsed.webPort, message))
        return OptionsResult::Error;
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
    if (!readIntOption(parser, videoQualityOption, 0, 51, parsed.videoQuality, message))
        return OptionsResult::Error;
    if (parser.isSet(videoPresetOption)) {
        static const QStringList presets = {QStringLiteral("ultrafast"), QStringLiteral("superfast"),
                                            QStringLiteral("veryfast"),  QStringLiteral("faster"),
                                            QStringLiteral("fast"),      QStringLiteral("medium"),
                                            QStringLiteral("slow"),      QStringLiteral("slower"),
                                            QStringLiteral("veryslow")};
        parsed.videoPreset = parser.value(videoPresetOption).trimmed().toLower();
        if (!presets.contains(parsed.videoPreset)) {
            message = QStringLiteral("Invalid value for --video-preset: '%1' (expected one of %2).")
                          .arg(parser.value(videoPresetOption), presets.join(QStringLiteral(", ")));
            return OptionsResult::Error;
        }
    }
    if (parser.isSet(publishOption)) {
        parsed.publishUrl = parser.value(publishOption);
        if (const QString problem = relayUrlProblem(parsed.publishUrl); !problem.isEmpty()) {
            message = relayUrlError(publishOption.names().constFirst(), parsed.publishUrl, problem);
            return OptionsResult::Error;
        }
        if (parsed.handler && *parsed.handler != QLatin1String("video")) {
            message = QStringLiteral("--publish sends the video handler's stream: it needs --handler video.");
            return OptionsResult::Error;
        }
        parsed.handler = QStringLiteral("video");
    }
    parsed.videoFile = !parser.isSet(noFileOption);
    if (!parsed.videoFile && parsed.publishUrl.isEmpty()) {
        message = QStringLiteral("--no-file needs --publish: there would be nowhere for the video to go.");
        return OptionsResult::Error;
    }
    if (parser.isSet(grabberOption)) {
        const QString grabber = parser.value(grabberOption).trimmed().toLower();
        if (grabber != QLatin1String("x11") && grabber != QLatin1String("portal")) {
            message = invalidValue(parser, grabberOption, QStringLiteral("x11 or portal"));
            return OptionsResult::Error;
        }
        parsed.grabber = grabber;
    }
    if (parser.isSet(audioOption)) {
        const QString audio = parser.value(audioOption).trimmed().toLower();
        QStringList sources = audio.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (QString &source : sources)
            source = source.trimmed();
        const bool valid = audio == QLatin1String("none")
            || (!sources.isEmpty() && sources.size() == QSet<QString>(sources.begin(), sources.end()).size()
                && std::all_of(sources.begin(), sources.end(), [](const QString &source) {
                       return source == QLatin1String("system") || source == QLatin1String("mic");
                   }));
        if (!valid) {
            message = invalidValue(parser, audioOption, QStringLiteral("system, mic, system,mic or none"));
            return OptionsResult::Error;
        }
        parsed.audioSystem = sources.contains(QLatin1String("system"));
        parsed.audioMic = sources.contains(QLatin1String("mic"));
    }
    if (parser.isSet(audioMicOption)) {
        parsed.audioMicDevice = parser.value(audioMicOption).trimmed();
        if (parsed.audioMicDevice.isEmpty()) {
            message = invalidValue(parser, audioMicOption, QStringLiteral("a device name"));
            return OptionsResult::Error;
        }
    }
    if (parser.isSet(audioTracksOption)) {
        const QString tracks = parser.value(audioTracksOption).trimmed().toLower();
        if (tracks != QLatin1String("mixed") && tracks != QLatin1String("separate")) {
            message = invalidValue(parser, audioTracksOption, QStringLiteral("mixed or separate"));
            return OptionsResult::Error;
        }
        parsed.audioSeparateTracks = tracks == QLatin1String("separate");
    }
    for (const auto &[action, option] : hotkeyOptions) {
        Hotkey hotkey = defaultHotkey(action);
        QString why;
        if (parser.isSet(option) && !parseHotkey(parser.value(option), hotkey, why)) {
            message = QStringLiteral("Invalid value for --%1: '%2' (%3; expected one key with modifiers such as "
                                     "Ctrl+Alt+R, or none).")
                          .arg(option.names().constFirst(), parser.value(option), why);
            return OptionsResult::Error;
        }
        for (const auto &[other, otherHotkey] : parsed.hotkeys) {
            if (!hotkey.isNone() && otherHotkey == hotkey) {
                message = QStringLiteral("--hotkey-%1 and --hotkey-%2 name the same combination %3: one key would do two things.")
                              .arg(hotkeyOptionName(other), hotkeyOptionName(action), hotkey.text);
                return OptionsResult::Error;
            }
        }
        parsed.hotkeys[action] = hotkey;
    }
    parsed.showClicks = parser.isSet(showClicksOption);
    if (parser.isSet(windowOption)) {
        quint32 id = 0;
        if (!parseWindowId(parser.value(windowOption), id)) {
            message = invalidValue(parser, windowOption, QStringLiteral("an X window id such as 0x1a00007 or 27262983"));
            return OptionsResult::Error;
        }
        parsed.windowId = id;
    }
    if (parser.isSet(windowNameOption)) {
        parsed.windowName = parser.value(windowNameOption);
        if (parsed.windowName.isEmpty()) {
            message = invalidValue(parser, windowNameOption, QStringLiteral("some text of the window's name"));
            return OptionsResult::Error;
        }
    }
    if (parser.isSet(historyLimitOption)
        && !parseByteSize(parser.value(historyLimitOption), 1000 * 1000, std::numeric_limits<qint64>::max() / 2,
                          parsed.historyLimit)) {
        message = invalidValue(parser, historyLimitOption,
                               QStringLiteral("a size of at least 1M such as 500M, 20G or a number of bytes"));
        return OptionsResult::Error;
    }
    const int followed = (parsed.windowId ? 1 : 0) + (parsed.windowName.isEmpty() ? 0 : 1) + (parsed.area ? 1 : 0);
    if (followed > 1) {
        message = QStringLiteral("--window, --window-name and --area each say what to capture: give one of them.");
        return OptionsResult::Error;
    }
    options = parsed;
    return OptionsResult::Run;
}
