#include "commandline.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <cmath>

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

bool parseByteSize(const QString &text, qint64 minimum, qint64 maximum, qint64 &value)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]+(?:\\.[0-9]+)?)\\s*(?:([kmgt])(i?))?b?$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    bool ok = false;
    const double number = match.captured(1).toDouble(&ok);
    const QString unit = match.captured(2).toLower();
    const double base = match.captured(3).isEmpty() ? 1000.0 : 1024.0;
    const int power = unit.isEmpty() ? 0 : int(QStringLiteral("kmgt").indexOf(unit)) + 1;
    double bytes = number;
    for (int i = 0; i < power; ++i)
        bytes *= base;
    bytes = std::floor(bytes);
    if (!ok || bytes < double(minimum) || bytes > double(maximum))
        return false;
    value = qint64(bytes);
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
