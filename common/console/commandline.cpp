#include "commandline.h"

#include <QCommandLineParser>

#include <iostream>
#include <limits>

bool parseIntInRange(const QString &text, int minimum, int maximum, int &value)
{
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok);
    if (!ok || parsed < minimum || parsed > maximum)
        return false;
    value = parsed;
    return true;
}

std::optional<int> optionsExitStatus(OptionsResult result, const QString &message, const char *program)
{
    switch (result) {
    case OptionsResult::Exit:
        std::cout << message.toLocal8Bit().constData() << std::flush;
        return 0;
    case OptionsResult::Error:
        std::cerr << program << ": " << message.toLocal8Bit().constData() << std::endl
                  << "Try '" << program << " --help' for the options." << std::endl;
        return 2;
    case OptionsResult::Run:
        break;
    }
    return std::nullopt;
}

OptionsResult parseArguments(QCommandLineParser &parser, const QStringList &arguments, const char *program,
                             QString &message)
{
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return OptionsResult::Error;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        message = parser.helpText();
        return OptionsResult::Exit;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        message = QLatin1String(program) + QLatin1Char(' ') + QStringLiteral(DESKCAST_VERSION) + QLatin1Char('\n');
        return OptionsResult::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
        return OptionsResult::Error;
    }
    return OptionsResult::Run;
}

QString invalidValue(const QCommandLineParser &parser, const QCommandLineOption &option, const QString &expected)
{
    return QStringLiteral("Invalid value for --%1: '%2' (expected %3).")
        .arg(option.names().constFirst(), parser.value(option), expected);
}

bool readIntOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum, int maximum,
                   int &value, QString &message)
{
    if (!parser.isSet(option) || parseIntInRange(parser.value(option), minimum, maximum, value))
        return true;
    message = invalidValue(parser, option,
                           minimum == 1 && maximum == std::numeric_limits<int>::max()
                               ? QStringLiteral("a positive number")
                               : QStringLiteral("a number from %1 to %2").arg(minimum).arg(maximum));
    return false;
}

bool readIntOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum, int maximum,
                   std::optional<int> &value, QString &message)
{
    int read = 0;
    if (!parser.isSet(option))
        return true;
    if (!readIntOption(parser, option, minimum, maximum, read, message))
        return false;
    value = read;
    return true;
}
