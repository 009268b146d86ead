#include "glformat.h"
#include "glstreamrenderer.h"
#include "shownframerecorder.h"
#include "tcpclientimagehandler.h"
#include "vieweroptions.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>

#include <iostream>

int main(int argc, char **argv)
{
    setupDefaultSurfaceFormat();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("stream_viewer"));
    QApplication::setApplicationVersion(QStringLiteral(DESKCAST_VERSION));

    ViewerOptions options;
    QString message;
    switch (parseViewerOptions(QApplication::arguments(), options, message)) {
    case ViewerOptionsResult::Exit:
        std::cout << message.toLocal8Bit().constData() << std::flush;
        return 0;
    case ViewerOptionsResult::Error:
        std::cerr << "stream_viewer: " << message.toLocal8Bit().constData() << std::endl
                  << "Try 'stream_viewer --help' for the options." << std::endl;
        return 2;
    case ViewerOptionsResult::Run:
        break;
    }
    ShownFrameRecorder recorder(options);
    if (!recorder.open(message)) {
        std::cerr << "stream_viewer: " << message.toLocal8Bit().constData() << std::endl;
        return 2;
    }

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

    client.connectToServer(host, quint16(port));
    renderer.setImageSource(&client);
    recorder.attach(&renderer);
    QObject::connect(&recorder, &ShownFrameRecorder::finished, &application, &QCoreApplication::quit);
    renderer.setVisible(true);
    return application.exec();
}
