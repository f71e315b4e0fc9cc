#include "flash.h"

#include "view.h"

namespace {

// The worker reads the firmware only after restarting the device into its bootloader; a
// file that cannot become an image is refused before any device is touched at all.
void refuse_firmware(const flash_request &request, const image::loaded &firmware,
                     job_list &jobs, flash_view &view)
{
    const QString why = QStringLiteral("the firmware file \"%1\" %2")
                            .arg(request.firmware, firmware_refusal(firmware));
    view.error(why + QStringLiteral(" (code %1); the device was not touched")
                         .arg(outcome::firmware_unusable));
    for (const auto &job : jobs) {
        job->refusal = why;
        job->refusal_code = outcome::firmware_unusable;
    }
}

// A port that cannot be used is told now, without the handshake's 30 s of retries: one
// held by another program too, as other flashers do, so that two programs never talk
// over one line.
void check_port(flash_job &job, const QList<port_lookup::entry> &present, flash_view &view)
{
    if (job.given != job.port)
        view.notice(job, QStringLiteral("%1 is %2").arg(job.given, job.port));
    const port_lookup::problem problem = port_lookup::check(job.port, present);
    if (problem != port_lookup::problem::none)
        job.refusal = port_lookup::explain(problem, job.port);
}

} // namespace

QString firmware_refusal(const image::loaded &firmware)
{
    if (firmware.error == image::failure::not_firmware)
        return image::explain(firmware) + QStringLiteral(" (--raw writes it as a binary image)");
    return image::explain(firmware);
}

void prepare_job(const flash_request &request, const QList<port_lookup::entry> &present,
                 flash_job &job, flash_view &view)
{
    fill_settings(job.settings, request.line, job.port, request.firmware);
    job.accept_silent_start = request.accept_silent_start;
    job.line_echoes = request.line_echoes;
    if (job.serial.isEmpty())
        job.serial = port_watch::usb_serial(job.port, present);
    if (job.refusal.isEmpty())
        check_port(job, present, view);
}

void preflight(const flash_request &request, const image::loaded &firmware,
               const QList<port_lookup::entry> &present, job_list &jobs, device_ends &ends)
{
    if (!firmware.ok()) {
        for (const auto &job : jobs)
            fill_settings(job->settings, request.line, job->port, request.firmware);
        refuse_firmware(request, firmware, jobs, ends.view);
        return;
    }
    for (const auto &job : jobs) {
        prepare_job(request, present, *job, ends.view);
        if (!job->refusal.isEmpty())
            ends.record(*job);
    }
}
