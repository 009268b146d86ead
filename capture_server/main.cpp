#include "captureoptions.h"
#include "configwindow.h"
#include "displayprobe.h"
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
    // First of all: a SIGINT or SIGTERM from here on ends the program as "Start/Stop" would.
    ShutdownSignals::install();
    // Past a file size limit a write should fail with a "Could not write: " line, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication::setApplicationName(QStringLiteral("capture_server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DESKCAST_VERSION));

    // Qt aborts while building a QApplication without a display. Without one the options are
    // still read (--help, --version and a bad option work anywhere), then one line says why the
    // program cannot run.
    const QString noDisplay = displayProblem(commandLine(argc, argv));
    std::unique_ptr<QCoreApplication> application;
    QStringList arguments;
    if (noDisplay.isEmpty()) {
        setupDefaultSurfaceFormat();
        application = std::make_unique<QApplication>(argc, argv);
        arguments = QCoreApplication::arguments();
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
        arguments = withoutGuiArguments(QCoreApplication::arguments());
    }

    CaptureOptions options;
    QString message;
    switch (parseCaptureOptions(arguments, options, message)) {
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
    if (!noDisplay.isEmpty()) {
        std::cerr << "capture_server: " << noDisplay.toLocal8Bit().constData() << std::endl;
        return 2;
    }

    printPreviewChoice();

    // Ctrl+C or a TERM signal ends a running capture as "Start/Stop" would, then quits with 0.
    // Caught since the start of main(): a signal that arrived before this point, or arrives while
    // the window (and the server it may start) is being built, is handled once the event loop runs.
    ShutdownSignals shutdownSignals;
    // A signal while the port dialog is open closes it; the window then starts nothing.
    QObject::connect(&shutdownSignals, &ShutdownSignals::shutdownRequested, application.get(), [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    auto window = std::make_unique<ConfigWindow>(nullptr, qApp, options);
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
    return QCoreApplication::exec();
}
