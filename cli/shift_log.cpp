#include "shift_log.h"

#include <QJsonDocument>
#include <QJsonObject>

bool shift_log::open(const QString &path, QString *why)
{
    file.setFileName(path);
    // Unbuffered: each record reaches the system in the one write that append() makes.
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return true;
    *why = file.errorString();
    return false;
}

QByteArray shift_log::line(const shift_record &r)
{
    QJsonObject o;
    o[QStringLiteral("time")] = r.time.toOffsetFromUtc(r.time.offsetFromUtc()).toString(Qt::ISODateWithMs);
    o[QStringLiteral("port")] = r.port;
    o[QStringLiteral("serial")] = r.serial.isEmpty() ? QJsonValue() : QJsonValue(r.serial);
    o[QStringLiteral("firmware")] = r.firmware;
    o[QStringLiteral("firmware_size")] = double(r.firmware_size);
    // A file that could not be read has no digest; an empty one would look like one.
    o[QStringLiteral("firmware_sha256")] = r.firmware_sha256.isEmpty()
                                               ? QJsonValue()
                                               : QJsonValue(QString::fromLatin1(r.firmware_sha256.toHex()));
    o[QStringLiteral("result")] = r.result;
    o[QStringLiteral("code")] = r.has_code ? QJsonValue(r.code) : QJsonValue();
    o[QStringLiteral("duration_ms")] = double(r.duration_ms);
    o[QStringLiteral("bytes")] = double(r.bytes);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

bool shift_log::append(const shift_record &r, QString *why)
{
    const QByteArray bytes = line(r);
    if (file.write(bytes) == bytes.size() && file.flush())
        return true;
    *why = file.errorString();
    return false;
}
