#include "shift_log.h"

#include "job.h"

#include <QJsonDocument>
#include <QJsonObject>

shift_record record_of(const flash_job &job, const job_end &end, const QString &firmware,
                       qint64 firmware_size, const QByteArray &firmware_sha256)
{
    shift_record r;
    r.time = QDateTime::currentDateTime();
    r.port = job.port;
    r.serial = job.serial;
    r.firmware = firmware;
    r.firmware_size = firmware_size;
    r.firmware_sha256 = firmware_sha256;
    r.has_code = end.has_code;
    r.code = end.code;
    r.result = kind_word(end.what);
    r.duration_ms = job.elapsed_ms(job.ended_ms); // 0 for a port refused before its start
    r.bytes = job.bytes();
    return r;
}

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
    o[QStringLiteral("firmware_format")] =
        r.firmware_format.isEmpty() ? QJsonValue() : QJsonValue(r.firmware_format);
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
