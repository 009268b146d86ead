#pragma once

#include <QString>

// Reads a decimal integer (surrounding blanks allowed) that must lie in minimum..maximum.
// Leaves `value` alone and returns false for anything else.
[[nodiscard]] bool parseIntInRange(const QString &text, int minimum, int maximum, int &value);
