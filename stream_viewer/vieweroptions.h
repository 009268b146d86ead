#pragma once

#include "commandline.h"

#include <QString>
#include <QStringList>

#include <optional>

// Command-line options of stream_viewer. Every option left out keeps the interactive
// behaviour: the host and port dialogs, and a viewer that runs until its window is closed.
struct ViewerOptions
{
    std::optional<QString> host; // --host: skips the host dialog
    std::optional<int> port;     // --port: skips the port dialog
    int frames = 0;              // --frames N: quit after N frames shown (0: never)
    QString saveDir;             // --save DIR: also write each shown frame as DIR/frameN.png
    QString timingLog;           // --timing-log FILE: "<scene counter> <monotonic ms>" per frame on screen
};

// Parses the program's arguments (arguments[0] is the program name). On Exit and Error
// `message` holds the text to print. The --save folder is created when missing.
[[nodiscard]] OptionsResult parseViewerOptions(const QStringList &arguments, ViewerOptions &options,
                                                     QString &message);
