#include "wire_watch.h"

#include "frame.h"

wire_watch::wire_watch(QString port, const QElapsedTimer &clock, sink trace)
    : port(std::move(port)), clock(clock), trace(std::move(trace))
{
}

QString wire_watch::format(double ms, const QString &port, const char *direction,
                           const QByteArray &bytes, const char *note)
{
    QString line = QStringLiteral("%1 ms %2 %3 %4")
                       .arg(ms, 10, 'f', 3)
                       .arg(port, QString::fromLatin1(direction),
                            QString::fromLatin1(frame::hex(bytes)).toUpper());
    if (note)
        line += QStringLiteral(" (%1)").arg(QString::fromLatin1(note));
    return line;
}

void wire_watch::write(const char *direction, const QByteArray &bytes, const char *note)
{
    trace(format(double(clock.nsecsElapsed()) / 1e6, port, direction, bytes, note));
}

void wire_watch::operator()(work::wire kind, const QByteArray &bytes)
{
    switch (kind) {
    case work::wire::sent:
        flush();
        write("tx", bytes);
        break;
    case work::wire::discarded:
        flush();
        write("rx", bytes, "discarded");
        break;
    case work::wire::received:
        reply.append(bytes);
        if (frame::is_complete(reply)) {
            write("rx", reply);
            reply.clear();
        }
        break;
    }
}

void wire_watch::flush()
{
    if (reply.isEmpty())
        return;
    write("rx", reply, "not a frame");
    reply.clear();
}
