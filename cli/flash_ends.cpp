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
    shift_record r = record_of(job, end, request.firmware, firmware.file_size, firmware.file_sha256);
    if (firmware.ok())
        r.firmware_format = image::format_name(firmware);
    QString why;
    if (log->append(r, &why))
        return;
    // The devices go on; the exit status tells that the log is incomplete.
    failed = true;
    console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(request.command, request.log, why));
}
