#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineOption;
class QCommandLineParser;

// Reads a decimal integer (surrounding blanks allowed) that must lie in minimum..maximum.
// Leaves `value` alone and returns false for anything else.
[[nodiscard]] bool parseIntInRange(const QString &text, int minimum, int maximum, int &value);

// Reads a size in bytes: a whole or decimal number (surrounding blanks allowed), then nothing
// (bytes) or one of K, M, G, T (thousands, millions, ... of bytes; Ki, Mi, Gi, Ti for powers of
// 1024), with or without a trailing B: "500M", "20G", "1.5GiB", "1048576". It must lie in
// minimum..maximum; anything else leaves `value` alone and returns false.
[[nodiscard]] bool parseByteSize(const QString &text, qint64 minimum, qint64 maximum, qint64 &value);

// What a program's option parser found.
enum class OptionsResult {
    Run,   // go on with the options
    Exit,  // --help or --version: print the message and exit with status 0
    Error, // a bad option or value: print the message and exit with status 2
};

// Prints what the parser of `program` said (--help or --version on standard output; an error and
// where to look on standard error) and returns the exit status; nothing when the program runs.
[[nodiscard]] std::optional<int> optionsExitStatus(OptionsResult result, const QString &message, const char *program);

// Parses `arguments` with `parser`, which holds the program's options and Qt's --help and
// --version: Exit with the help or version text of `program`, Error with what is wrong (an
// unknown option, a stray argument), Run when the program goes on.
[[nodiscard]] OptionsResult parseArguments(QCommandLineParser &parser, const QStringList &arguments,
                                           const char *program, QString &message);
// "Invalid value for --NAME: 'VALUE' (expected WHAT)."
[[nodiscard]] QString invalidValue(const QCommandLineParser &parser, const QCommandLineOption &option,
                                   const QString &expected);
// Reads an integer option when it is set: into `value` when it lies in minimum..maximum, else
// false with `message` saying so. An option not set leaves `value` alone.
[[nodiscard]] bool readIntOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum,
                                 int maximum, int &value, QString &message);
[[nodiscard]] bool readIntOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum,
                                 int maximum, std::optional<int> &value, QString &message);
