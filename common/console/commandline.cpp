#include "commandline.h"

bool parseIntInRange(const QString &text, int minimum, int maximum, int &value)
{
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok);
    if (!ok || parsed < minimum || parsed > maximum)
        return false;
    value = parsed;
    return true;
}
