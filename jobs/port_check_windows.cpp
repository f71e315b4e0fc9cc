#include "port_check.h"

#include <QRegularExpression>
#include <QSerialPortInfo>

#include <windows.h>

#include <algorithm>

// A Windows serial port is a device name (COM3) in the system's namespace, not a file:
// names are compared without regard to case, and the name's link in that namespace says
// whether it is there without opening the line. Windows opens a serial port for one
// program at a time, and does not say which program holds one.
namespace port_check {

namespace {

const QString device_prefix = QStringLiteral("\\\\.\\");

// "COM3" of "\\.\com3", "//./COM3" or "com3".
QString device_name(const QString &name)
{
    if (name.startsWith(device_prefix) || name.startsWith(QLatin1String("//./")))
        return name.mid(device_prefix.size());
    return name;
}

bool is_device_name(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char('/'))
           && !name.contains(QLatin1Char(':'));
}

// "\\.\COM3" for every spelling of COM3; other names as they are.
QString location_of(const QString &name)
{
    const QString device = device_name(name);
    return is_device_name(device) ? device_prefix + device.toUpper() : name;
}

} // namespace

QString canonical(const QString &location)
{
    return location_of(location);
}

bool exists(const QString &location)
{
    const QString device = device_name(location_of(location));
    if (!is_device_name(device))
        return true; // a name of another kind (\\.\Global\COM3): its open tells
    wchar_t target[1024];
    return QueryDosDeviceW(reinterpret_cast<const wchar_t *>(device.utf16()), target, DWORD(std::size(target))) != 0;
}

QStringList glob(const QString &pattern)
{
    const QString wildcard = device_name(location_of(pattern));
    const QRegularExpression match(QRegularExpression::wildcardToRegularExpression(wildcard),
                                   QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        if (match.match(info.portName()).hasMatch())
            names << info.portName().toUpper();
    names.removeDuplicates();
    // COM2 before COM10.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    QStringList out;
    for (const QString &name : names)
        out << device_prefix + name;
    return out;
}

verdict examine(const QString &location)
{
    return exists(location) ? verdict::unknown : verdict::absent;
}

bool device_number(const QString &, quint64 *)
{
    return false;
}

QString kind_of(const QString &location)
{
    return exists(location) ? QStringLiteral("a device but not a serial port") : QStringLiteral("not there");
}

QStringList holders(const QString &)
{
    return {};
}

QString busy_words(const QString &)
{
    return QStringLiteral("in use by another program (Windows lets one program at a time open a "
                          "serial port: close the terminal or tool that has it)");
}

} // namespace port_check
