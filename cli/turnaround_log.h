#pragma once

#include "work.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <vector>

// Times korvane's own share of each block, for the benchmark: from the moment the worker
// has read a complete reply to the moment it hands the next block's request to the port.
// Called on the worker's thread through its trace hook; costs two clock reads a block.
//
// The benchmark switches it on with KORVANE_TURNAROUND_LOG=FILE; each device's times are
// appended to FILE as one line when it ends: its port, then nanoseconds, blank-separated.
class turnaround_log
{
public:
    static QString file_from_environment();

    turnaround_log()
    {
        clock.start();
        ns.reserve(4096);
    }

    // The worker's trace hook.
    void operator()(work::wire kind, const QByteArray &bytes);
    const std::vector<qint64> &samples() const { return ns; }

    // Appends "PORT ns ns ..." to `path`; false when it cannot be written.
    bool append_to(const QString &path, const QString &port) const;

private:
    QElapsedTimer clock;
    QByteArray reply;          // received since the last request
    qint64 reply_read = -1;    // when the reply became complete; -1 when none is pending
    std::vector<qint64> ns;
};
