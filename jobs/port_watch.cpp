#include "port_watch.h"

#include "port_check.h"
#include "telnet.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace port_watch {

bool parse(const QString &text, pattern *out, QString *why)
{
    pattern p;
    p.text = text;
    p.usb = port_lookup::is_usb(text);
    p.network = net_address::is_network(text);
    if (p.network) {
        net_address::address where;
        if (!net_address::parse(text, &where, why)) {
            *why = QStringLiteral("'%1': %2").arg(text, *why);
            return false;
        }
        *out = p;
        return true;
    }
    if (p.usb) {
        if (!port_lookup::parse_usb(text, &p.ids, why))
            return false;
        *out = p;
        return true;
    }
    const QFileInfo where(text);
    if (text.isEmpty() || where.fileName().isEmpty()) {
        *why = QStringLiteral("'%1' names no device: give a path such as /dev/ttyUSB*").arg(text);
        return false;
    }
    if (QDir::fromNativeSeparators(where.path()).contains(QRegularExpression(QStringLiteral("[*?\\[]")))) {
        *why = QStringLiteral("'%1': wildcards go in the last part of the path only").arg(text);
        return false;
    }
    *out = p;
    return true;
}

namespace {

void add_glob(const QString &glob, QList<device> &found)
{
    for (const QString &location : port_check::glob(glob))
        found << device{location, QString(), QString()};
}

void add_usb(const port_lookup::usb_ids &ids, const QList<port_lookup::entry> &ports, QList<device> &found)
{
    for (const port_lookup::entry &e : port_lookup::matches(ids, ports))
        found << device{e.location, e.serial, QString()};
}

} // namespace

QList<device> scan(const QList<pattern> &patterns)
{
    QList<device> found;
    const bool any_usb = std::any_of(patterns.begin(), patterns.end(), [](const pattern &p) { return p.usb; });
    const QList<port_lookup::entry> ports = any_usb ? port_lookup::present() : QList<port_lookup::entry>();
    for (const pattern &p : patterns) {
        if (p.usb)
            add_usb(p.ids, ports, found);
        else if (p.network)
            found << device{p.text, QString(), QString()}; // nothing says whether a server is there
        else
            add_glob(p.text, found);
    }
    QList<device> unique;
    QSet<QString> seen;
    for (device d : qAsConst(found)) {
        d.id = port_lookup::identity(d.location);
        if (!seen.contains(d.port())) {
            seen.insert(d.port());
            unique << d;
        }
    }
    return unique;
}

QString usb_serial(const QString &location)
{
    return usb_serial(location, port_lookup::present());
}

QString usb_serial(const QString &location, const QList<port_lookup::entry> &ports)
{
    const QString target = port_check::canonical(location);
    for (const port_lookup::entry &e : ports)
        if (e.location == target)
            return e.serial;
    return {};
}

tracker::change tracker::update(const QList<device> &now)
{
    change c;
    QList<device> next;
    for (const device &d : now) {
        const int i = present.indexOf(d);
        if (i < 0)
            c.appeared << d;
        next << (i < 0 ? d : present.at(i));
    }
    for (const device &d : qAsConst(present))
        if (!now.contains(d))
            c.gone << d;
    present = next;
    return c;
}

} // namespace port_watch
