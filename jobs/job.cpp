#include "job.h"

#include "job_exit.h"
#include "status_text.h"
#include "work.h"

// ---- one device ---------------------------------------------------------------------

void fill_settings(UpdateSettings &settings, const line_settings &line, const QString &port,
                   const QString &firmware)
{
    settings.auto_start = line.auto_start;
    settings.firmware_path = firmware;
    settings.port_name = port;
    settings.baud_rate = line.baud_rate;
    settings.parity = line.parity;
    settings.stop_bits = line.stop_bits;
    settings.product_descriptor = line.descriptor;
}

qint64 flash_job::bytes() const
{
    return worker ? worker->confirmed_bytes() : confirmed_at_end;
}

qint64 flash_job::elapsed_ms(qint64 now) const
{
    if (started_ms < 0)
        return 0;
    return (ended ? ended_ms : now) - started_ms;
}

void flash_job::note_status(const QString &text, qint64 now_ms)
{
    step = text;
    step_started_ms = now_ms;
    looking_told = 0;
    shown_progress = -1;
    if (text == QString::fromUtf8(status_text::writing))
        write_started_ms = now_ms;
}

bool flash_job::note_progress(int value)
{
    progress = value;
    if (value == shown_progress)
        return false; // the transfer repeats a value for every attempt at a block
    shown_progress = value;
    return true;
}

void flash_job::note_result(int code, const QString &why)
{
    results.append(code);
    result_step = step;
    failure_detail = why;
}

QString flash_job::looking_notice(qint64 now_ms)
{
    if (ended || step != QString::fromUtf8(status_text::handshaking))
        return {};
    const qint64 spent = now_ms - step_started_ms;
    const int due = int(spent / looking_notice_ms);
    if (due <= looking_told)
        return {};
    looking_told = due;
    const qint64 limit = work::default_handshake_limit_ms;
    return QStringLiteral("still looking for the bootloader: %1 s so far, %2 s left")
        .arg(spent / 1000)
        .arg(qMax<qint64>(0, (limit - spent + 999) / 1000));
}

void flash_job::note_end(qint64 now_ms, const worker_end &end)
{
    ended = true;
    ended_ms = now_ms;
    stop_seen = end.stop_requested;
    confirmed_at_end = end.confirmed;
    start_confirmed = end.start_confirmed;
    restart_requests = end.restart_requests;
    restart_replies = end.restart_replies;
    device_address = end.device_address;
    worker = nullptr; // about to be deleted on its own thread
}

// ---- texts --------------------------------------------------------------------------

QString step_name(const QString &status)
{
    static const struct { const char *status; const char *name; } steps[] = {
        {status_text::connecting, "opening the serial port"},
        {status_text::restarting, "asking the device to restart into its bootloader"},
        {status_text::handshaking, "looking for the bootloader"},
        {status_text::syncing, "reading the device information"},
        {status_text::reading, "reading the firmware file"},
        {status_text::erasing, "erasing the old firmware"},
        {status_text::writing, "writing the firmware"},
        {status_text::starting, "starting the program"},
    };
    for (const auto &step : steps)
        if (status == QString::fromUtf8(step.status))
            return QString::fromLatin1(step.name);
    return status.isEmpty() ? QStringLiteral("starting") : status;
}

QString code_text(int code)
{
    const outcome::description *d = outcome::describe(code);
    return d ? QString::fromLatin1(d->english) : QStringLiteral("unknown failure");
}

QString kind_word(job_end::kind what)
{
    switch (what) {
    case job_end::kind::ok:
        return QStringLiteral("ok");
    case job_end::kind::failed:
        return QStringLiteral("failed");
    case job_end::kind::interrupted:
        return QStringLiteral("interrupted");
    case job_end::kind::no_result:
        break;
    }
    return QStringLiteral("no result");
}

QString interrupted_text(const job_end &end)
{
    const QString text = QStringLiteral("interrupted while %1").arg(end.step);
    if (!end.left_in_bootloader)
        return text;
    return text + QStringLiteral("; the device is left in its bootloader, and running the same command "
                                 "again finishes the update");
}

QString reason_field(const job_end &end)
{
    return end.unplugged ? QStringLiteral("unplugged") : end.reason;
}

QString result_word(const job_end &end)
{
    if (end.what == job_end::kind::failed)
        return QStringLiteral("failed (code %1)").arg(end.code);
    if (end.what == job_end::kind::ok && !end.verified)
        return QStringLiteral("ok, not verified");
    return kind_word(end.what);
}

// ---- the verdict --------------------------------------------------------------------

namespace {

// The restart settings the descriptor stands for, which must be the application's own.
QString restart_settings(const QString &descriptor)
{
    const modbus::restart_request r = modbus::parse_descriptor(descriptor);
    if (!r.send)
        return QStringLiteral("the restart settings (--descriptor \"%1\" sends no restart request, so the "
                              "device must be in its bootloader already)")
            .arg(descriptor);
    QStringList values;
    for (const qint32 v : r.values)
        values << QStringLiteral("0x%1").arg(QString::number(v, 16).toUpper());
    return QStringLiteral("the restart settings: --descriptor \"%1\" must match the application's Modbus "
                          "address (%2), its restart register (%3) and the values it waits for (%4)")
        .arg(descriptor)
        .arg(r.address)
        .arg(r.reg)
        .arg(values.join(QStringLiteral(", ")));
}

// What the operator can check when the bootloader never answered, and what the
// application's answer to the restart request (or its silence) says about the line.
QString no_bootloader(const flash_job &job)
{
    QString heard;
    if (job.restart_requests == 0)
        heard = QStringLiteral("no restart request was sent");
    else if (job.restart_replies > 0)
        heard = QStringLiteral("the application answered the restart request, so the line works but "
                               "the device did not restart into its bootloader");
    else
        heard = QStringLiteral("the application did not answer the restart request either");
    return QStringLiteral("the bootloader never answered in %1 s; check the device's power and cable, "
                          "the baud rate (%2) and %3; %4")
        .arg(work::default_handshake_limit_ms / 1000)
        .arg(job.settings.baud_rate)
        .arg(restart_settings(job.settings.product_descriptor), heard);
}

// The explanation of a failure at the end of the update, with what is known by then: the
// worker's own words where it had any, since the code alone cannot say, for instance, that
// the image was written and only its start went unconfirmed.
QString explain_code(int code, const flash_job &job)
{
    if (job.port_gone && code != outcome::firmware_unusable)
        return QStringLiteral("the device was unplugged (%1 is gone)").arg(job.port);
    // A port that could not be opened is named, with the system's reason behind it.
    const QString why = job.failure_detail.isEmpty() ? QString() : QStringLiteral(": ") + job.failure_detail;
    if (code == outcome::port_not_opened)
        return QStringLiteral("the serial port \"%1\" could not be opened%2").arg(job.port, why);
    if (code == outcome::no_answer && job.results.contains(outcome::port_not_opened))
        return QStringLiteral("no answer from the device in time (the serial port \"%1\" "
                              "could not be opened at first)%2")
            .arg(job.port, why);
    if (code == outcome::no_answer && job.result_step == QString::fromUtf8(status_text::handshaking))
        return no_bootloader(job) + why;
    if (!job.failure_detail.isEmpty())
        return job.failure_detail;
    if (code == outcome::no_answer && job.result_step == QString::fromUtf8(status_text::starting))
        return QStringLiteral("the image was written but the device never confirmed it: no answer to "
                              "the start request");
    return code_text(code);
}

job_end failed(const flash_job &job, int code, const QString &step)
{
    job_end end;
    end.what = job_end::kind::failed;
    end.has_code = true;
    end.code = code;
    end.exit = exit_code::for_result(code);
    end.step = step;
    end.reason = explain_code(code, job);
    end.unplugged = job.port_gone && code != outcome::firmware_unusable;
    return end;
}

// Only the device's acceptance of the start proves the image: it checks what it holds
// before it runs it.
QString unverified_because(const flash_job &job)
{
    if (!job.settings.auto_start)
        return QStringLiteral("the image was written but not verified: the program was not started, "
                              "so the device did not check it");
    return QStringLiteral("the image was written but not verified: the device did not answer the start "
                          "request%1")
        .arg(job.accept_silent_start ? QStringLiteral(", which --accept-silent-start accepts") : QString());
}

job_end succeeded(const flash_job &job)
{
    job_end end;
    end.what = job_end::kind::ok;
    end.has_code = true;
    end.code = outcome::success;
    end.exit = exit_code::ok;
    end.verified = job.start_confirmed;
    if (!end.verified)
        end.reason = unverified_because(job);
    return end;
}

job_end refused(const flash_job &job)
{
    const char *status = job.refusal_code == outcome::firmware_unusable ? status_text::reading
                                                                        : status_text::connecting;
    job_end end = failed(job, job.refusal_code, step_name(QString::fromUtf8(status)));
    end.reason = job.refusal;
    return end;
}

// Without a code: stopped, or never said how it ended.
job_end unfinished(const flash_job &job)
{
    job_end end;
    end.what = job.stop_seen ? job_end::kind::interrupted : job_end::kind::no_result;
    end.step = step_name(job.step);
    end.exit = job.stop_seen ? exit_code::interrupted : exit_code::internal;
    static const char *const in_bootloader[] = {status_text::syncing, status_text::reading,
                                                status_text::erasing, status_text::writing};
    for (const char *status : in_bootloader)
        end.left_in_bootloader = end.left_in_bootloader || job.step == QString::fromUtf8(status);
    return end;
}

} // namespace

job_end conclude(const flash_job &job)
{
    if (!job.refusal.isEmpty())
        return refused(job);
    // A port that failed to open is not an end: every handshake attempt reopens it.
    const bool final_code = !job.results.isEmpty()
                            && job.results.constLast() != outcome::port_not_opened;
    if (final_code) {
        const int code = job.results.constLast();
        job_end end = code == outcome::success ? succeeded(job) : failed(job, code, QString());
        end.step = step_name(job.result_step);
        end.after_stop = job.stop_seen;
        return end;
    }
    if (job.stop_seen || job.results.isEmpty())
        return unfinished(job); // never success: nothing said the image is on the device
    return failed(job, job.results.constLast(), step_name(job.result_step));
}

int overall_exit(const QVector<job_end> &ends)
{
    int exit = exit_code::ok;
    for (const job_end &e : ends)
        exit = qMax(exit, e.exit);
    return exit;
}
