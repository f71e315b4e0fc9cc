#include "port_check.h"

#include <QDir>
#include <QFileInfo>

// Without POSIX file kinds nothing can be told before the update opens the port: every
// name is left to the serial port class, which reports an open failure as usual.
namespace port_check {

QString canonical(const QString &location)
{
    return QFileInfo(location).canonicalFilePath();
}

bool exists(const QString &location)
{
    return QFileInfo::exists(location);
}

QStringList glob(const QString &pattern)
{
    const QFileInfo where(pattern);
    const QDir dir(where.path());
    QStringList out;
    for (const QString &name : dir.entryList({where.fileName()}, QDir::System, QDir::Name))
        out << dir.filePath(name);
    return out;
}

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

QString busy_words(const QString &)
{
    return QStringLiteral("held by another process");
}

} // namespace port_check
