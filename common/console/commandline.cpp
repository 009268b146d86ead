#include "commandline.h"

#include <iostream>

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
