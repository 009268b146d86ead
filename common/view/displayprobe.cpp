#include "displayprobe.h"

#include "glformat.h"

#include <QApplication>
#include <QByteArray>

#ifdef DESKCAST_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace {

// Value of a Qt option given as "-name value" or "-name=value"; empty when absent.
QString guiOption(const QStringList &arguments, const QString &name)
{
    const QString single = QLatin1Char('-') + name;
    const QString doubled = QLatin1String("--") + name;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if ((argument == single || argument == doubled) && i + 1 < arguments.size())
            return arguments.at(i + 1);
        if (argument.startsWith(single + QLatin1Char('=')))
            return argument.mid(single.size() + 1);
        if (argument.startsWith(doubled + QLatin1Char('=')))
            return argument.mid(doubled.size() + 1);
    }
    return {};
}

} // namespace

QStringList commandLine(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

QStringList withoutGuiArguments(const QStringList &arguments)
{
    // What QGuiApplication and QApplication remove from the command line when they are built.
    static const QStringList withValue{
        QStringLiteral("platform"), QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
        QStringLiteral("plugin"),   QStringLiteral("qwindowgeometry"),    QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"), QStringLiteral("session"),       QStringLiteral("display"),
        QStringLiteral("geometry"), QStringLiteral("title"),              QStringLiteral("name"),
        QStringLiteral("style"),    QStringLiteral("stylesheet")};
    static const QStringList flags{QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                   QStringLiteral("nograb"), QStringLiteral("dograb"), QStringLiteral("sync")};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (i > 0 && argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1String("--"))) {
            const QString name = argument.mid(1).section(QLatin1Char('='), 0, 0);
            if (flags.contains(name))
                continue;
            if (withValue.contains(name)) {
                if (!argument.contains(QLatin1Char('=')))
                    ++i; // and its value
                continue;
            }
        }
        kept << argument;
    }
    return kept;
}

QString displayProblem(const QStringList &arguments)
{
    QString platform = guiOption(arguments, QStringLiteral("platform"));
    if (platform.isEmpty())
        platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    // "xcb:option=value;wayland": the first choice decides whether X must answer.
    platform = platform.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0).trimmed();
    if (!platform.isEmpty() && platform != QLatin1String("xcb"))
        return {};
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    QString display = guiOption(arguments, QStringLiteral("display"));
    if (display.isEmpty())
        display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("no display: DISPLAY is not set");
#ifdef DESKCAST_HAVE_XCB
    const QByteArray name = display.toLocal8Bit();
    xcb_connection_t *connection = xcb_connect(name.constData(), nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    if (error != 0)
        return QStringLiteral("cannot open the display %1").arg(display);
#endif
    return {};
}

StartedApplication startApplication(int &argc, char **argv)
{
    StartedApplication started;
    started.noDisplay = displayProblem(commandLine(argc, argv));
    if (started.noDisplay.isEmpty()) {
        setupDefaultSurfaceFormat();
        started.application = std::make_unique<QApplication>(argc, argv);
        started.arguments = QCoreApplication::arguments();
    } else {
        started.application = std::make_unique<QCoreApplication>(argc, argv);
        started.arguments = withoutGuiArguments(QCoreApplication::arguments());
    }
    return started;
}
