#include "captureoptions.h"
#include "capturesession.h"
#include "configwindow.h"
#include "displayprobe.h"
#include "frameconsole.h"
#include "globalhotkeys.h"
#include "grabberchoice.h"
#include "portalgrabber.h"
#include "previewpath.h"
#include "shutdownsignals.h"
#include "tcpserverimagehandler.h"
#include "windowtracker.h"

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
    QGuiApplication::setDesktopFileName(QStringLiteral("org.deskcast.capture_server")); // its menu entry and icon
    QCoreApplication::setApplicationVersion(QStringLiteral(DESKCAST_VERSION));

    // Without a display the options are still read, then one line says why nothing can run.
    const StartedApplication started = startApplication(argc, argv);
    const QString &noDisplay = started.noDisplay;
    const QStringList &arguments = started.arguments;

    CaptureOptions options;
    QString message;
    if (const std::optional<int> status = optionsExitStatus(parseCaptureOptions(arguments, options, message), message, "capture_server"))
        return *status;
    if (!noDisplay.isEmpty()) {
        std::cerr << "capture_server: " << noDisplay.toLocal8Bit().constData() << std::endl;
        return 2;
    }

    printPreviewChoice();
    const GrabberChoice grabber = chooseGrabber(options.grabber, qEnvironmentVariable("XDG_SESSION_TYPE"),
                                                qEnvironmentVariable("WAYLAND_DISPLAY"));
    FrameConsole::instance().report(StageEvent::notice(grabberLine(grabber)));
    const bool followsWindow = options.windowId || !options.windowName.isEmpty();
    if (followsWindow && grabber.kind != GrabberKind::Portal) {
        // A window that is not there is a bad option: said before anything starts.
        QString error;
        const std::optional<FoundWindow> window = options.windowName.isEmpty()
            ? findWindow(*options.windowId, error)
            : findWindowByName(options.windowName, error);
        if (!window) {
            const QString option = options.windowName.isEmpty() ? QStringLiteral("--window") : QStringLiteral("--window-name");
            return *optionsExitStatus(OptionsResult::Error, option + QStringLiteral(": ") + error, "capture_server");
        }
        options.windowId = window->id;
    }
    // The session grabs, keeps and sends the frames; the window is its controls. Made before the
    // window, so that it outlives it.
    CaptureSession session(options);
    PortalGrabber *portal = nullptr;
    if (grabber.kind == GrabberKind::Portal) {
        auto owned = std::make_unique<PortalGrabber>();
        portal = owned.get();
        session.setGrabber(std::move(owned));
    }

    // Ctrl+C or a TERM signal ends a running capture as "Start/Stop" would, then quits with 0.
    // Caught since the start of main(): a signal that arrived before this point, or arrives while
    // the window (and the server it may start) is being built, is handled once the event loop runs.
    ShutdownSignals shutdownSignals;
    // A signal while the port dialog is open closes it; the window then starts nothing.
    QObject::connect(&shutdownSignals, &ShutdownSignals::shutdownRequested, started.application.get(), [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            dialog->close();
    });
    auto window = std::make_unique<ConfigWindow>(nullptr, qApp, options, &session);
    if (ShutdownSignals::requested())
        return 0;
    if (options.start && options.handler == QLatin1String("tcp") && session.tcpServer()->serverPort() == 0) {
        // Capturing for viewers that can never connect would only look like working.
        std::cerr << "capture_server: cannot serve viewers: "
                  << session.tcpServer()->listenError().toLocal8Bit().constData() << std::endl;
        return 2;
    }
    QObject::connect(&shutdownSignals, &ShutdownSignals::shutdownRequested, window.get(), [&window] {
        window->close();
        QCoreApplication::quit();
    });
    // SIGUSR1 pauses a running capture and resumes a paused one, as "Pause" would.
    QObject::connect(&shutdownSignals, &ShutdownSignals::pauseToggleRequested, window.get(),
                     &ConfigWindow::SLOT_pauseResume);
    window->show();
    // Start/Stop, Pause and Mark from any window: grabbed from the X server, or asked of the portal on
    // Wayland.
    GlobalHotkeys hotkeys(portal ? GlobalHotkeys::Backend::Portal : GlobalHotkeys::Backend::X11, options.hotkeys);
    QObject::connect(&hotkeys, &GlobalHotkeys::startStopPressed, window.get(), &ConfigWindow::SLOT_startStopCapture);
    QObject::connect(&hotkeys, &GlobalHotkeys::markPressed, window.get(), &ConfigWindow::markStartOrEnd);
    QObject::connect(&hotkeys, &GlobalHotkeys::pausePressed, window.get(), &ConfigWindow::SLOT_pauseResume);
    if (portal) {
        // A scripted run starts once the portal's stream is there; one that cannot have it, or
        // whose stream ends, has failed (the window has said why and written every queued file).
        if (options.start) {
            QObject::connect(portal, &PortalGrabber::ready, window.get(), [&window] {
                if (!window->startScriptedCapture())
                    QCoreApplication::exit(1);
            });
            QObject::connect(portal, &PortalGrabber::failed, window.get(), [] { QCoreApplication::exit(1); });
            QObject::connect(portal, &PortalGrabber::ended, window.get(), [] { QCoreApplication::exit(1); });
        }
        // The desktop's dialog offers windows in place of monitors; an X id or name means nothing there.
        portal->start(options.cursor, followsWindow);
    } else if (options.start) {
        // A scripted run whose area lies wholly off the screen could never capture a frame: it
        // ends with status 1 instead of waiting for frames that never come.
        QTimer::singleShot(0, window.get(), [&window] {
            if (!window->startScriptedCapture())
                QCoreApplication::exit(1);
        });
    }
    return QCoreApplication::exec();
}
