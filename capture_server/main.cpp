#include "captureoptions.h"
#include "configwindow.h"
#include "glformat.h"
#include "previewpath.h"
#include "shutdownsignals.h"
#include "tcpserverimagehandler.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <iostream>
#include <memory>

int main(int argc, char **argv)
{
    // Past a file size limit a write should fail with a "Could not write: " line, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    setupDefaultSurfaceFormat();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("capture_server"));
    QApplication::setApplicationVersion(QStringLiteral(DESKCAST_VERSION));

    CaptureOptions options;
    QString message;
    switch (parseCaptureOptions(QApplication::arguments(), options, message)) {
    case OptionsResult::Exit:
        std::cout << message.toLocal8Bit().constData() << std::flush;
        return 0;
    case OptionsResult::Error:
        std::cerr << "capture_server: " << message.toLocal8Bit().constData() << std::endl
                  << "Try 'capture_server --help' for the options." << std::endl;
        return 2;
    case OptionsResult::Run:
        break;
    }

    printPreviewChoice();

    // Ctrl+C or a TERM signal ends a running capture as "Start/Stop" would, then quits with 0.
    // Caught from before the window (and the server it may start) exists: a signal that arrives
    // while it is being built is handled once the event loop runs.
    ShutdownSignals shutdownSignals;
    // A signal while the port dialog is open closes it; the window then starts nothing.
    QObject::connect(&shutdownSignals, &ShutdownSignals::shutdownRequested, &application, [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    auto window = std::make_unique<ConfigWindow>(nullptr, &application, options);
    if (ShutdownSignals::requested())
        return 0;
    if (options.start && options.handler == QLatin1String("tcp") && window->tcpServer->serverPort() == 0) {
        // Capturing for viewers that can never connect would only look like working.
        std::cerr << "capture_server: cannot serve viewers: "
                  << window->tcpServer->listenError().toLocal8Bit().constData() << std::endl;
        return 2;
    }
    QObject::connect(&shutdownSignals, &ShutdownSignals::shutdownRequested, window.get(), [&window] {
        window->close();
        QCoreApplication::quit();
    });
    window->show();
    // A scripted run whose area lies wholly off the screen could never capture a frame: it ends
    // with status 1 instead of waiting for frames that never come.
    if (options.start) {
        QTimer::singleShot(0, window.get(), [&window] {
            if (!window->startScriptedCapture())
                QCoreApplication::exit(1);
        });
    }
    return application.exec();
}
