#pragma once

#include "work.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>

// Traces one worker's port through its trace hook, on the worker's thread: writes every
// frame to a sink (stderr in the tool) as one line: time stamp, port, direction, hex.
//
// Replies are put together the way the worker reads them: the bytes received since the
// last request are one line once they form exactly one frame. Bytes that never do (a
// stray byte, a cut-off reply) are written as they stand before the next request, marked
// as not a frame, so the trace shows what the worker saw and why it did not accept it.
class wire_watch
{
public:
    using sink = std::function<void(const QString &line)>;

    // `clock` is the command's clock, shared by every port; it must outlive the watch.
    wire_watch(QString port, const QElapsedTimer &clock, sink trace);

    // The worker's trace hook.
    void operator()(work::wire kind, const QByteArray &bytes);
    // Writes out received bytes still waiting to form a frame; call when the worker ends.
    void flush();

    static QString format(double ms, const QString &port, const char *direction,
                          const QByteArray &bytes, const char *note = nullptr);

private:
    void write(const char *direction, const QByteArray &bytes, const char *note = nullptr);

    const QString port;
    const QElapsedTimer &clock;
    const sink trace;
    QByteArray reply; // received since the last request
};
