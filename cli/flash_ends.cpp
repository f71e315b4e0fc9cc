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
    r.warnings = image::warnings(firmware);
    const int lost = log->lost_count();
    QString why;
    const bool written = log->append(r, &why);
    // The devices go on; the exit status tells that the log is incomplete.
    if (log->lost_count() > lost) {
        failed = true;
        const int gone = log->lost_count() - lost;
        console::err_line(QStringLiteral("%1: the log \"%2\" was deleted during the run and is made again; "
                                         "%3 record%4 written to it before went with it")
                              .arg(request.command, request.log)
                              .arg(gone)
                              .arg(gone == 1 ? "" : "s"));
    }
    if (written)
        return;
    failed = true;
    console::err_line(QStringLiteral("%1: cannot write \"%2\": %3").arg(request.command, request.log, why));
}
