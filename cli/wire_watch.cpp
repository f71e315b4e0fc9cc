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
    if (trace)
        trace(format(double(clock.nsecsElapsed()) / 1e6, port, direction, bytes, note));
}

void wire_watch::operator()(work::wire kind, const QByteArray &bytes)
{
    switch (kind) {
    case work::wire::sent: {
        flush();
        write("tx", bytes);
        // AA, length, 06, four address bytes, the data length: what an accepted answer
        // puts on the device.
        const bool block = bytes.size() > 7 && quint8(bytes.at(0)) == frame::start_byte
                           && quint8(bytes.at(2)) == frame::cmd_write;
        pending_block = block ? quint8(bytes.at(7)) : -1;
        break;
    }
    case work::wire::discarded:
        flush();
        write("rx", bytes, "discarded");
        break;
    case work::wire::received:
        reply.append(bytes);
        if (frame::is_complete(reply)) {
            write("rx", reply);
            if (pending_block >= 0 && frame::judge_write(reply).status == 1)
                confirmed.fetch_add(pending_block, std::memory_order_relaxed);
            pending_block = -1;
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
