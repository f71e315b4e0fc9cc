#pragma once

#include "job_exit.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Everything korvane-cli writes goes through here. Texts go out as UTF-8 whatever the
// locale (the status texts are Chinese), and are flushed at once so a pipe or a log
// follows the update live.
namespace console {

void out(const QString &text);
void out_line(const QString &line);
void err_line(const QString &line);

// "korvane-cli <command>: <message>" and a hint to --help on stderr; returns 64.
int usage_error(const QString &command, const QString &message);

// A terminal gets live lines; a pipe, a file or TERM=dumb gets plain lines only.
bool stdout_is_terminal();
bool stderr_is_terminal();
// The width of the terminal on stdout, 80 when it cannot be told.
int terminal_columns();
// Colour on stdout: a terminal, and NO_COLOR unset or empty (https://no-color.org).
bool colour();
// The messages' locale is a Chinese one: the first of LC_ALL, LC_MESSAGES and LANG that
// is set begins with "zh".
bool chinese();

// Width in terminal columns: CJK characters take two.
int display_width(const QString &text);
// Cut to at most `columns`, whole characters only.
QString fit(const QString &text, int columns);
// Filled with spaces to `columns`.
QString pad(const QString &text, int columns);
// Rows of cells as aligned lines: every column but the last as wide as its widest cell,
// then two spaces.
QStringList columns(const QVector<QStringList> &rows);
// "12.5 KiB" and "11.2 KiB/s".
QString human_bytes(double bytes);

// What the platform tells about the standard streams, and how text reaches them
// (console_posix.cpp, console_windows.cpp and the fallback).
namespace platform {
enum class stream { out, err };
bool is_terminal(stream s);
int columns_of_stdout(); // 0 when unknown
// Writes and flushes: UTF-8 bytes, or the console's own characters where a console shows
// them.
void write(stream s, const QString &text);
} // namespace platform

} // namespace console
