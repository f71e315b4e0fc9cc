#pragma once
// Many USB serial adapters hold a short reply until a latency timer runs out (16 ms on
// common chips), which would triple the time of every block of a stop-and-wait transfer.
// Their drivers take a low-latency mode that brings the timer to 1 ms. Asked for on every
// open of the port and given back on every close, so the port is left as it was found.

#include <QSerialPort>

#include <utility>

namespace low_latency {

// The open port's system handle (QSerialPort::handle(): a descriptor on POSIX, a HANDLE on
// Windows), whose type Qt keeps to itself.
using port_handle = decltype(std::declval<QSerialPort &>().handle());

enum class answer {
    set,         // the driver took low-latency mode
    already,     // it was on already
    unsupported, // the driver has no such mode (a pseudo-terminal, CDC-ACM, another system)
};

// What enable() found, for restore().
struct saved
{
    bool changed = false;
    int flags = 0;
};

answer enable(port_handle handle, saved *previous);
void restore(port_handle handle, const saved &previous);

const char *describe(answer a);

} // namespace low_latency
