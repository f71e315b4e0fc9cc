#include "turnaround_log.h"

#include "frame.h"

#include <QFile>

QString turnaround_log::file_from_environment()
{
    return QString::fromLocal8Bit(qgetenv("KORVANE_TURNAROUND_LOG"));
}

void turnaround_log::operator()(work::wire kind, const QByteArray &bytes)
{
    switch (kind) {
    case work::wire::received:
        reply.append(bytes);
        if (frame::is_complete(reply)) {
            reply_read = clock.nsecsElapsed();
            reply.clear();
        }
        break;
    case work::wire::discarded:
        // Stale bytes in front of the request: what follows is no clean turnaround.
        reply_read = -1;
        reply.clear();
        break;
    case work::wire::sent:
        if (reply_read >= 0 && bytes.size() > 2 && quint8(bytes.at(2)) == frame::cmd_write)
            ns.push_back(clock.nsecsElapsed() - reply_read);
        reply_read = -1;
        reply.clear();
        break;
    }
}

bool turnaround_log::append_to(const QString &path, const QString &port) const
{
    QByteArray line = port.toUtf8();
    for (const qint64 each : ns)
        line += ' ' + QByteArray::number(each);
    line += '\n';
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(line) == line.size();
}
