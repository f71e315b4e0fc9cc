#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// Finding a serial port by what is printed on the adapter rather than by the name the
// system happened to give it, and saying plainly why a port cannot be used.
namespace port_lookup {

// One port as the system enumerates it.
struct entry
{
    QString name;     // "ttyUSB0"
    QString location; // "/dev/ttyUSB0"
    bool has_ids = false;
    quint16 vid = 0;
    quint16 pid = 0;
    QString serial;
    QString description;
    QString manufacturer;
    bool busy = false;
};

QList<entry> present();

// "0403:6001", or an empty string for a port without USB ids.
QString ids(const entry &e);
// What to give --port to pick exactly this port by its ids: "usb:0403:6001:A50285BI".
QString usb_name(const entry &e);

// usb:VID:PID[:SERIAL], ids in hexadecimal (1 to 4 digits, an optional 0x).
struct usb_ids
{
    quint16 vid = 0;
    quint16 pid = 0;
    QString serial; // empty: any serial number
};

bool is_usb(const QString &port);
// False with the reason in *why when the text is not a well-formed usb: name.
bool parse_usb(const QString &text, usb_ids *ids, QString *why);

// The ports these ids pick out of `ports`. Exactly one is a match; none or several are
// explained by describe_resolution().
QList<entry> matches(const usb_ids &ids, const QList<entry> &ports);
QString describe_resolution(const QString &text, const QList<entry> &found,
                            const QList<entry> &ports);

// Where the update opens a port name: "ttyS0" is /dev/ttyS0, a path is itself, from the
// working directory when it does not start with a slash ("rl/a1" is ./rl/a1).
QString location_of(const QString &name);

// Which physical port a name stands for, the same for all its names (a link, its target,
// a second device node, a server's port by either scheme): the device number where the
// system has one, otherwise the path with links resolved, otherwise the location itself.
// Two workers on one port would fight over it.
QString identity(const QString &name);

// Why a port cannot be used, as far as can be told without disturbing its line. Only a
// busy port may still become usable while the update retries it.
enum class problem { none, absent, denied, not_serial, busy };
problem check(const QString &name, const QList<entry> &ports);

// How a user who may not open the port gets the right to: a group to join when the port's
// group may read and write it and is not root, otherwise a udev rule (with the adapter's
// USB ids when known) or an administrator.
QString permission_hint(const QString &location);

// One or two sentences for the operator; `detail` adds what an open attempt said.
QString explain(problem p, const QString &name, const QString &detail = {});

// After the update's own open has failed: tries the port once from here (the update
// retries it anyway) and tells busy, permission denied and absent apart; *found says
// which, when given.
QString diagnose_open_failure(const QString &name, problem *found = nullptr);

} // namespace port_lookup
