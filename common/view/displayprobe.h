#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

// Why the program's windows could not be shown, found before the QApplication is built (Qt
// aborts the process when its platform cannot start): "DISPLAY is not set", "cannot open the
// display :9", or an empty string when the display answers. Only X11 is probed; a platform
// chosen by -platform or QT_QPA_PLATFORM other than xcb (offscreen, wayland, ...) is left to Qt,
// and so is a Wayland session when no platform is chosen.
[[nodiscard]] QString displayProblem(const QStringList &arguments);

// The program's arguments before any QCoreApplication exists (the local 8-bit encoding).
[[nodiscard]] QStringList commandLine(int argc, char **argv);

// `arguments` without the options that QApplication takes for itself (-platform, -geometry,
// -style, ... and their values), for a command-line parser that runs where it was not built.
[[nodiscard]] QStringList withoutGuiArguments(const QStringList &arguments);

// The program's application object: a QApplication when the display answers, otherwise a
// QCoreApplication, so that --help, --version and a bad option still work anywhere before one
// line says why the program cannot run (Qt aborts while building a QApplication without a
// display). `argc` must outlive the application.
struct StartedApplication
{
    std::unique_ptr<QCoreApplication> application;
    QStringList arguments; // for the option parser
    QString noDisplay;     // displayProblem(), empty when the windows can be shown
};
[[nodiscard]] StartedApplication startApplication(int &argc, char **argv);
