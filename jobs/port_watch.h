#pragma once
// Watching for devices on a production line: every port that matches a pattern, found a
// few times a second, and told apart from one scan to the next, so that each device
// plugged in is updated once and a device left plugged in never twice.
#include "port_lookup.h"

#include <QList>
#include <QSet>
#include <QString>

namespace port_watch {

// A glob of device paths ("/dev/ttyUSB*", wildcards in the last part only) or
// usb:VID:PID[:SERIAL].
struct pattern
{
    QString text;
    bool usb = false;
    bool network = false; // rfc2217:// or socket://: a server's port, there all the time
    port_lookup::usb_ids ids;
};

// False with the reason in *why for a pattern that cannot match anything.
bool parse(const QString &text, pattern *out, QString *why);

// One port a pattern matches, as found by one scan.
struct device
{
    QString location; // what the update opens: "/dev/ttyUSB0", or the link the glob found
    QString serial;   // the USB serial number, empty when unknown
    QString id;       // port_lookup::identity(); empty: the location stands for it

    // Which physical port it is: the same for every name of one device.
    QString port() const { return id.isEmpty() ? location : id; }
    bool operator==(const device &o) const { return port() == o.port() && serial == o.serial; }
};

// Every port the patterns match now, each once however many names and patterns lead to
// it (by the first name found), in a stable order. Only usb: patterns list the system's
// ports, which costs more than reading a folder: a glob's devices carry no serial number
// here (see usb_serial()).
QList<device> scan(const QList<pattern> &patterns);

// The USB serial number of the adapter behind a port (or a link to it); empty when the
// system does not say.
QString usb_serial(const QString &location);
// The same from ports already listed.
QString usb_serial(const QString &location, const QList<port_lookup::entry> &ports);

// What changed since the previous scan. A device is the same while its port stays and
// carries the same serial number, and keeps the name it was first found by; unplugged and
// plugged in again, it is a new one.
class tracker
{
public:
    struct change
    {
        QList<device> appeared;
        QList<device> gone;
    };
    change update(const QList<device> &now);

private:
    QList<device> present;
};

} // namespace port_watch
