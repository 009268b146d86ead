#include "displayprobe.h"
#include "glformat.h"
#include "glstreamrenderer.h"
#include "previewpath.h"
#include "shownframerecorder.h"
#include "tcpclientimagehandler.h"
#include "vieweroptions.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QScreen>

#include <iostream>
#include <memory>

int main(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("stream_viewer"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.deskcast.stream_viewer")); // its menu entry and icon
    QCoreApplication::setApplicationVersion(QStringLiteral(DESKCAST_VERSION));

    // Without a display the options are still read, then one line says why nothing can run.
    const StartedApplication started = startApplication(argc, argv);
    const QString &noDisplay = started.noDisplay;
    const QStringList &arguments = started.arguments;

    ViewerOptions options;
    QString message;
    if (const std::optional<int> status = optionsExitStatus(parseViewerOptions(arguments, options, message), message, "stream_viewer"))
        return *status;
    if (!noDisplay.isEmpty()) {
        std::cerr << "stream_viewer: " << noDisplay.toLocal8Bit().constData() << std::endl;
        return 2;
    }
    ShownFrameRecorder recorder(options);
    if (!recorder.open(message)) {
        std::cerr << "stream_viewer: " << message.toLocal8Bit().constData() << std::endl;
        return 2;
    }

    printPreviewChoice();
    GLStreamRenderer renderer(nullptr);
    TCPclientImagehandler client;

    const QString host = options.host
        ? *options.host
        : QInputDialog::getText(&renderer, QStringLiteral("QInputDialog::getText()"), QStringLiteral("HostIP:"),
                                QLineEdit::Normal, QStringLiteral("localhost"));
    const int port = options.port
        ? *options.port
        : QInputDialog::getInt(&renderer, QStringLiteral("QInputDialog::getInteger()"), QStringLiteral("Port:"),
                               3000, 0, 65000, 1);

    // The title tells where the frames come from and how the connection is doing.
    const auto showState = [&] {
        renderer.setWindowTitle(
            QStringLiteral("stream_viewer - %1:%2 - %3").arg(host).arg(port).arg(client.stateText()));
    };
    QObject::connect(&client, &TCPclientImagehandler::SIG_stateChanged, &renderer, showState);
    client.connectToServer(host, quint16(port));
    showState();
    renderer.setImageSource(&client);

    // Left to itself Qt caps a new window at 2/3 of the screen each way, which at a large scale
    // factor squashes the picture; the window gets its preferred size, or the largest of the
    // same shape that fits the screen (room left for a window manager's frame).
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableGeometry().size() - QSize(16, 32);
        QSize size = renderer.sizeHint();
        if (size.width() > room.width() || size.height() > room.height())
            size = size.scaled(room, Qt::KeepAspectRatio);
        renderer.resize(size);
    }
    recorder.attach(&renderer);
    QObject::connect(&recorder, &ShownFrameRecorder::finished, started.application.get(), &QCoreApplication::quit);
    renderer.setVisible(true);
    return QCoreApplication::exec();
}
