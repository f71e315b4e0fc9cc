#pragma once

#include <QString>
#include <QStringList>

// What the system can tell about a port without disturbing the serial line behind it
// (port_check_posix.cpp, port_check_windows.cpp and the fallback).
namespace port_check {

enum class verdict {
    unknown,    // nothing against it; the update's own open decides
    absent,     // no such file (also a link whose device has gone)
    denied,     // this user may not read and write it
    not_serial, // something that is not a terminal: a file, a folder, a FIFO, /dev/null
};

// One spelling for every name of the place: links resolved on POSIX (empty when it is not
// there), the upper-case device name on Windows.
QString canonical(const QString &location);

// The port is there now (an unplugged adapter takes its name with it). Nothing is opened.
bool exists(const QString &location);

// The locations of the ports whose names match a wildcard pattern in its last part
// ("/dev/ttyUSB*", "COM*"), sorted by name.
QStringList glob(const QString &pattern);

verdict examine(const QString &location);

// The device number of a character device (a link followed), which every name of one
// device shares; false for anything else and where the system has no such numbers.
bool device_number(const QString &location, quint64 *number);

// What kind of thing a refused location is, for the message: "a regular file".
QString kind_of(const QString &location);

// Processes that have the device open, as "1234 (minicom)"; our own is left out. Only
// what the system lets us see.
QStringList holders(const QString &location);

// What holds a busy port, after "serial port "NAME" is busy: ".
QString busy_words(const QString &location);

} // namespace port_check
