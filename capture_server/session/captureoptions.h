#pragma once

#include "commandline.h"
#include "hotkey.h"

#include <QHostAddress>
#include <QRect>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

// Command-line options of capture_server. Every option left out keeps the interactive
// behaviour: the port dialog, the default area, the rate and handler chosen in the window.
struct CaptureOptions
{
    std::optional<int> port;                   // --port: skips the port dialog
    QHostAddress bind = QHostAddress(QHostAddress::Any); // --bind
    std::optional<QRect> area;                 // --area X,Y,W,H
    std::optional<int> fps;                    // --fps 1..60
    std::optional<QString> handler;            // --handler saver|tcp|video
    bool start = false;                        // --start
    int frames = 0;                            // --frames N: stop after N frames and quit (0: never)
    bool cursor = false;                       // --cursor: draw the mouse pointer into every frame
    int viewerTimeoutSeconds = 10;             // --viewer-timeout: drop a viewer that takes no byte for this long
    std::optional<int> webPort;                // --web PORT: also serve the capture to browsers
    QString webToken;                          // --web-token: the web view's secret (empty: a random one)
    bool webLossless = false;                  // --web-lossless: exact pixels only in the web view
    int videoQuality = 23;                     // --video-quality: x264 CRF of the video handler, 0-51
    QString videoPreset = QStringLiteral("veryfast"); // --video-preset: x264 speed preset
    QString publishUrl;                        // --publish URL: also send the video to a relay
    bool videoFile = true;                     // --no-file: with --publish, write no video file
    QString grabber;                           // --grabber x11|portal (empty: chosen from the session)
    bool audioSystem = false;                  // --audio system: the system's sound ("System sound")
    bool audioMic = false;                     // --audio mic: a microphone ("Microphone")
    QString audioMicDevice;                    // --audio-mic DEVICE (empty: the default input)
    bool audioSeparateTracks = false;          // --audio-tracks separate: a track per source
    std::map<HotkeyAction, Hotkey> hotkeys;    // --hotkey-startstop/-pause/-mark (the defaults when not given; none when not parsed)
    bool showClicks = false;                   // --show-clicks: a ring at each mouse button press ("Show clicks")
    std::optional<quint32> windowId;           // --window ID: follow this X window instead of an area
    QString windowName;                        // --window-name TEXT: follow the first window whose name contains it
    qint64 historyLimit = 0;                   // --history-limit SIZE: bytes the history may keep on disk (0: from the disk's free space)
};

// Parses the program's arguments (arguments[0] is the program name). On Exit and Error
// `message` holds the text to print.
[[nodiscard]] OptionsResult parseCaptureOptions(const QStringList &arguments, CaptureOptions &options,
                                                QString &message);
