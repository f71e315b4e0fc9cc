#pragma once

#include <QString>

class QCommandLineParser;

// Exit statuses besides the update's own failure codes (1 to 5). The usage and I/O
// values follow <sysexits.h>, 130 is what shells report for an end by Ctrl-C.
namespace exit_code {
constexpr int ok = 0;
constexpr int usage = 64;         // EX_USAGE
constexpr int internal = 70;      // EX_SOFTWARE: the update ended without saying how
constexpr int cannot_create = 73; // EX_CANTCREAT: an output file could not be written
constexpr int interrupted = 130;
} // namespace exit_code

// Texts go out as UTF-8 whatever the locale (the status texts are Chinese), and are
// flushed at once so a pipe or a log follows the update live.
namespace console {

void out(const QString &text);
void out_line(const QString &line);
void err_line(const QString &line);

// A terminal gets a live percentage; a pipe or file gets plain lines only.
bool stdout_is_terminal();

// "korvane-cli <command>: <message>" and a hint to --help on stderr; returns 64.
int usage_error(const QString &command, const QString &message);

// The parser's option list under our own usage line and description.
QString help_text(const QCommandLineParser &parser, const QString &usage,
                  const QString &description);

} // namespace console
