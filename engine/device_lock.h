#pragma once
// An advisory lock on a local device itself, taken before the serial port class opens it
// and held while it is open. Every name that leads to the device (a link, the path it
// points at) reaches the same lock, where Qt's lock file is by name; and it holds root
// back too, whom the terminal's exclusive mode lets in (device_lock_posix.cpp and its
// fallback).
#include <QString>

class device_lock
{
public:
    enum class result {
        taken,
        held_elsewhere, // another open of the device holds it
        untold,         // the system cannot say here: the port's own open decides
    };

    device_lock() = default;
    ~device_lock() { release(); }
    device_lock(const device_lock &) = delete;
    device_lock &operator=(const device_lock &) = delete;

    result take(const QString &location);
    void release();

    // Whether another open of the device holds its lock now, found without holding it
    // against anyone's exclusive take and without touching the line's settings.
    static bool held_elsewhere(const QString &location);

private:
    long long handle = -1;
};
