#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal delivered in the event loop, so the program can end
// a running capture the way "Start/Stop" would before it exits; and SIGUSR1 into another, with
// which scripts pause and resume a capture.
class ShutdownSignals : public QObject
{
    Q_OBJECT
public:
    // Catches the signals from now on (and takes them even if the parent blocked them); needs no
    // Qt object. Call it first thing in main(): until then either signal kills the process.
    static void install();

    // Installs the handlers if install() has not, and delivers what they caught, also before.
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

    // True once SIGINT or SIGTERM has arrived, even before the event loop has delivered it:
    // start-up code that runs before the event loop (the port dialog) asks this.
    [[nodiscard]] static bool requested();

Q_SIGNALS:
    void shutdownRequested(int signalNumber);
    // SIGUSR1: pause a running capture, or resume a paused one.
    void pauseToggleRequested();

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
