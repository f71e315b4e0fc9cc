#pragma once

#include <QString>

// The process exit statuses of the flash command, one table for the tool and its help.
// An update's failure stands for itself without its sign (1 to 5, from the outcome table);
// the usage and I/O values follow <sysexits.h>; 130 is what shells report for Ctrl-C.
namespace exit_code {

constexpr int ok = 0;
constexpr int usage = 64;         // EX_USAGE
constexpr int internal = 70;      // EX_SOFTWARE: the update ended without saying how
constexpr int cannot_create = 73; // EX_CANTCREAT: an output file could not be written
constexpr int interrupted = 130;

// The status an update's result code asks for: 0 for success, the magnitude of a known
// failure, `internal` for a code the engine does not name.
int for_result(int code);

// Every status and its meaning, one a line (no newline after the last), for --help.
QString table();

} // namespace exit_code
