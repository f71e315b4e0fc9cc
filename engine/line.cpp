#include "line.h"

#include "net_line.h"
#include "serial_line.h"

line *line::make(const QString &name, QObject *parent)
{
    net_address::address where;
    QString why;
    if (net_address::parse(name, &where, &why))
        return new net_line(where, parent);
    // A network name that does not parse is left to the serial port, whose open then
    // fails: there is no such device.
    return new serial_line(parent);
}
