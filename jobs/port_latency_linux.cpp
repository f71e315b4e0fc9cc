#include "port_latency.h"

#include <QFile>

namespace port_latency {

int timer_ms(const QString &name)
{
    // Only the FTDI-style drivers have the attribute; a name with a slash is no tty name.
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return -1;
    QFile file(QStringLiteral("/sys/class/tty/%1/device/latency_timer").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int ms = file.read(16).trimmed().toInt(&ok);
    return ok && ms >= 0 ? ms : -1;
}

} // namespace port_latency
