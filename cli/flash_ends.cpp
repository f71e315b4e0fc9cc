#include "flash.h"

#include "console.h"
#include "shift_log.h"
#include "view.h"

#include <QDateTime>

device_ends::device_ends(const flash_request &request, const image::loaded &firmware,
                         flash_view &view, shift_log *log)
    : view(view), request(request), firmware(firmware), log(log)
{
}

void device_ends::record(const flash_job &job)
{
    const job_end end = conclude(job);
    view.ended(job, end);
    if (!log)
        return;
    shift_record r;
    r.time = QDateTime::currentDateTime();
    r.port = job.port;
    r.serial = job.serial;
    r.firmware = request.firmware;
    r.firmware_size = firmware.file_size;
    r.firmware_sha256 = firmware.file_sha256;
    r.has_code = end.has_code;
    r.code = end.code;
    r.result = kind_word(end.what);
    r.duration_ms = job.elapsed_ms(job.ended_ms); // 0 for a port refused before its start
    r.bytes = job.bytes();
    QString why;
    if (log->append(r, &why))
        return;
    // The devices go on; the exit status tells that the log is incomplete.
    failed = true;
    console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(request.command, request.log, why));
}
