#include "port_lookup.h"

#include "device_lock.h"
#include "port_check.h"
#include "serial_line.h"
#include "telnet.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QStringList>

namespace port_lookup {

QList<entry> present()
{
    QList<entry> out;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        entry e;
        e.name = info.portName();
        e.location = info.systemLocation();
        e.has_ids = info.hasVendorIdentifier() && info.hasProductIdentifier();
        e.vid = info.vendorIdentifier();
        e.pid = info.productIdentifier();
        e.serial = info.serialNumber();
        e.description = info.description();
        e.manufacturer = info.manufacturer();
        e.busy = info.isBusy();
        out << e;
    }
    return out;
}

namespace {

QString hex4(quint16 v)
{
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0'));
}

bool parse_id(QString text, quint16 *out)
{
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    static const QRegularExpression digits(QStringLiteral("^[0-9A-Fa-f]{1,4}$"));
    if (!digits.match(text).hasMatch())
        return false;
    *out = quint16(text.toUInt(nullptr, 16));
    return true;
}

QString with_serial(const entry &e)
{
    return e.serial.isEmpty() ? QStringLiteral("%1 (no serial number)").arg(e.name)
                              : QStringLiteral("%1 (serial %2)").arg(e.name, e.serial);
}

} // namespace

QString ids(const entry &e)
{
    return e.has_ids ? QStringLiteral("%1:%2").arg(hex4(e.vid), hex4(e.pid)) : QString();
}

QString usb_name(const entry &e)
{
    if (!e.has_ids)
        return {};
    QString name = QStringLiteral("usb:") + ids(e);
    if (!e.serial.isEmpty())
        name += QLatin1Char(':') + e.serial;
    return name;
}

bool is_usb(const QString &port)
{
    return port.startsWith(QLatin1String("usb:"), Qt::CaseInsensitive);
}

bool parse_usb(const QString &text, usb_ids *ids, QString *why)
{
    const QString rest = text.mid(4);
    const int first = rest.indexOf(QLatin1Char(':'));
    if (first < 0) {
        *why = QStringLiteral("'%1' needs a vendor and a product id: usb:VID:PID[:SERIAL]").arg(text);
        return false;
    }
    const int second = rest.indexOf(QLatin1Char(':'), first + 1);
    const QString vid = rest.left(first);
    const QString pid = second < 0 ? rest.mid(first + 1) : rest.mid(first + 1, second - first - 1);
    usb_ids s;
    if (!parse_id(vid, &s.vid) || !parse_id(pid, &s.pid)) {
        *why = QStringLiteral("'%1': vendor and product ids are 1 to 4 hexadecimal digits, "
                              "as in usb:0403:6001")
                   .arg(text);
        return false;
    }
    if (second >= 0) {
        // A serial number may itself hold colons; everything after the third one is it.
        s.serial = rest.mid(second + 1);
        if (s.serial.isEmpty()) {
            *why = QStringLiteral("'%1': the serial number after the last ':' is empty").arg(text);
            return false;
        }
    }
    *ids = s;
    return true;
}

QList<entry> matches(const usb_ids &ids, const QList<entry> &ports)
{
    QList<entry> out;
    for (const entry &e : ports) {
        if (!e.has_ids || e.vid != ids.vid || e.pid != ids.pid)
            continue;
        if (!ids.serial.isEmpty() && e.serial.compare(ids.serial, Qt::CaseInsensitive) != 0)
            continue;
        out << e;
    }
    return out;
}

QString describe_resolution(const QString &text, const QList<entry> &found,
                            const QList<entry> &ports)
{
    if (found.size() == 1)
        return QStringLiteral("%1 is %2").arg(text, found.constFirst().location);
    if (found.isEmpty()) {
        QStringList usb;
        for (const entry &e : ports)
            if (e.has_ids)
                usb << QStringLiteral("%1 (%2%3)")
                           .arg(usb_name(e), e.name,
                                e.description.isEmpty() ? QString() : QStringLiteral(", ") + e.description);
        return usb.isEmpty()
                   ? QStringLiteral("no serial port matches %1: no USB serial port is present").arg(text)
                   : QStringLiteral("no serial port matches %1; USB serial ports present: %2")
                         .arg(text, usb.join(QStringLiteral(", ")));
    }
    QStringList names;
    bool same_serial = true;
    for (const entry &e : found) {
        names << with_serial(e);
        same_serial = same_serial && e.serial == found.constFirst().serial;
    }
    // Adapters with several ports report one serial number for all of them.
    const QString hint = same_serial
                             ? QStringLiteral("they cannot be told apart by serial number, so give "
                                              "the port's name instead")
                             : QStringLiteral("add the serial number (usb:VID:PID:SERIAL) or give "
                                              "the port's name");
    return QStringLiteral("%1 matches %2 ports: %3; %4")
        .arg(text)
        .arg(found.size())
        .arg(names.join(QStringLiteral(", ")), hint);
}

QString location_of(const QString &name)
{
    return serial_line::location_of(name);
}

QString identity(const QString &name)
{
    net_address::address where;
    QString why;
    if (net_address::parse(name, &where, &why))
        return QStringLiteral("server ") + net_address::endpoint(where); // by either scheme
    const QString location = location_of(name);
    quint64 number = 0;
    if (port_check::device_number(location, &number))
        return QStringLiteral("device %1").arg(number);
    const QString canonical = port_check::canonical(location);
    return canonical.isEmpty() ? location : canonical;
}

namespace {

// A rule that hands the port to the group dialout, matched by the adapter's USB ids when
// they are known and by the device's name otherwise.
QString udev_rule(const QString &location)
{
    const QString device = QFileInfo(QFileInfo(location).canonicalFilePath()).fileName();
    for (const entry &e : present())
        if (e.has_ids && QFileInfo(e.location).fileName() == device)
            return QStringLiteral("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\", "
                                  "MODE=\"0660\", GROUP=\"dialout\"")
                .arg(hex4(e.vid), hex4(e.pid));
    return QStringLiteral("SUBSYSTEM==\"tty\", KERNEL==\"%1\", MODE=\"0660\", GROUP=\"dialout\"")
        .arg(device.isEmpty() ? QFileInfo(location).fileName() : device);
}

} // namespace

QString permission_hint(const QString &location)
{
    const QFileInfo info(location);
    const QString group = info.group();
    const QFileDevice::Permissions group_rw = QFileDevice::ReadGroup | QFileDevice::WriteGroup;
    // Joining a group helps only when the group may read and write the port; joining root
    // would hand the user the whole system.
    if ((info.permissions() & group_rw) == group_rw && info.groupId() != 0 && !group.isEmpty())
        return QStringLiteral("on Linux add the user to the group \"%1\" that may use %2 "
                              "(sudo usermod -aG %1 $USER), then log out and in again")
            .arg(group, location);
    const QString why =
        info.groupId() == 0 ? QStringLiteral("belongs to the group \"root\", which no user should join")
        : group.isEmpty()   ? QStringLiteral("belongs to the group %1, which has no name here").arg(info.groupId())
                            : QStringLiteral("does not let its group \"%1\" read and write it").arg(group);
    return QStringLiteral("%1 %2; ask an administrator to add the line %3 to "
                          "/etc/udev/rules.d/99-korvane.rules, reload the rules (sudo udevadm control "
                          "--reload && sudo udevadm trigger) and add the user to the group dialout "
                          "(sudo usermod -aG dialout $USER), then log out and in again")
        .arg(location, why, udev_rule(location));
}

problem check(const QString &name, const QList<entry> &ports)
{
    if (net_address::is_network(name))
        return problem::none; // nothing to examine here; the connection tells

    const QString location = location_of(name);
    switch (port_check::examine(location)) {
    case port_check::verdict::absent:
        return problem::absent;
    case port_check::verdict::denied:
        return problem::denied;
    case port_check::verdict::not_serial:
        return problem::not_serial;
    case port_check::verdict::unknown:
        break;
    }
    if (device_lock::held_elsewhere(location))
        return problem::busy; // by whatever name the other process opened it
    const QString canonical = port_check::canonical(location);
    for (const entry &e : ports)
        if (e.busy && (e.location == location || e.location == canonical))
            return problem::busy;
    return problem::none;
}

QString explain(problem p, const QString &name, const QString &detail)
{
    const QString location = location_of(name);
    QString text;
    switch (p) {
    case problem::none:
        text = QStringLiteral("serial port \"%1\" looks usable").arg(name);
        break;
    case problem::absent:
        text = QStringLiteral("serial port \"%1\" is not present (%2 does not exist; is the device "
                              "plugged in?)")
                   .arg(name, location);
        break;
    case problem::denied:
        text = QStringLiteral("serial port \"%1\": permission denied; %2").arg(name, permission_hint(location));
        break;
    case problem::not_serial:
        text = QStringLiteral("\"%1\" is not a serial port: %2 is %3")
                   .arg(name, location, port_check::kind_of(location));
        break;
    case problem::busy:
        text = QStringLiteral("serial port \"%1\" is busy: %2").arg(name, port_check::busy_words(location));
        break;
    }
    if (!detail.isEmpty())
        text += QStringLiteral(" [%1]").arg(detail);
    return text;
}

QString diagnose_open_failure(const QString &name, problem *found)
{
    problem dummy = problem::none;
    problem &p = found ? *found : dummy;
    p = check(name, present());
    if (p != problem::none && p != problem::busy)
        return explain(p, name);
    // Opened from here as root, the port would take this probe's line settings under the
    // update of whoever holds its lock.
    if (device_lock::held_elsewhere(location_of(name))) {
        p = problem::busy;
        return explain(p, name);
    }
    QSerialPort probe;
    probe.setPortName(location_of(name));
    if (probe.open(QIODevice::ReadWrite)) {
        probe.close();
        p = problem::none;
        return QStringLiteral("serial port \"%1\" opens now; it was unavailable for a moment").arg(name);
    }
    switch (probe.error()) {
    case QSerialPort::DeviceNotFoundError:
        p = problem::absent;
        return explain(p, name);
    case QSerialPort::PermissionError:
        // access() allowed reading and writing, so the refusal is a lock or an exclusive
        // open by someone else; Qt's own words for that name neither.
        p = problem::busy;
        return explain(p, name);
    default:
        p = problem::none;
        return QStringLiteral("serial port \"%1\" cannot be opened: %2").arg(name, probe.errorString());
    }
}

} // namespace port_lookup
