#pragma once

#include <QString>

#include <optional>

// Reads a decimal integer (surrounding blanks allowed) that must lie in minimum..maximum.
// Leaves `value` alone and returns false for anything else.
[[nodiscard]] bool parseIntInRange(const QString &text, int minimum, int maximum, int &value);

// What a program's option parser found.
enum class OptionsResult {
    Run,   // go on with the options
    Exit,  // --help or --version: print the message and exit with status 0
    Error, // a bad option or value: print the message and exit with status 2
};

// Prints what the parser of `program` said (--help or --version on standard output; an error and
// where to look on standard error) and returns the exit status; nothing when the program runs.
[[nodiscard]] std::optional<int> optionsExitStatus(OptionsResult result, const QString &message, const char *program);
