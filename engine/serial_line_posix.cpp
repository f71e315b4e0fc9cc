#include "serial_line.h"

QString serial_line::location_of(const QString &name)
{
    if (!name.contains(QLatin1Char('/')))
        return QStringLiteral("/dev/") + name;
    const bool as_qt_takes_it = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
                                || name.startsWith(QLatin1String("../"));
    return as_qt_takes_it ? name : QStringLiteral("./") + name;
}
