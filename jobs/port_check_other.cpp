#include "port_check.h"

// Without POSIX file kinds nothing can be told before the update opens the port: every
// name is left to the serial port class, which reports an open failure as usual.
namespace port_check {

verdict examine(const QString &)
{
    return verdict::unknown;
}

bool device_number(const QString &, quint64 *)
{
    return false;
}

QString kind_of(const QString &)
{
    return QStringLiteral("something else");
}

QStringList holders(const QString &)
{
    return {};
}

} // namespace port_check
