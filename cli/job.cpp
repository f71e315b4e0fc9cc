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
    detail = why;
}

void flash_job::note_end(qint64 now_ms, bool stop_requested, qint64 confirmed)
{
    ended = true;
    ended_ms = now_ms;
    stop_seen = stop_requested;
    confirmed_at_end = confirmed;
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

QString result_word(const job_end &end)
{
    if (end.what == job_end::kind::failed)
        return QStringLiteral("failed (code %1)").arg(end.code);
    return kind_word(end.what);
}

// ---- the verdict --------------------------------------------------------------------

namespace {

// The explanation of a failure at the end of the update, with what is known by then.
QString explain_code(int code, const flash_job &job)
{
    QString text;
    if (code == outcome::port_not_opened)
        text = QStringLiteral("the serial port \"%1\" could not be opened").arg(job.port);
    else if (code == outcome::no_answer && job.results.contains(outcome::port_not_opened))
        text = QStringLiteral("no answer from the device in time (the serial port \"%1\" "
                              "could not be opened at first)")
                   .arg(job.port);
    else
        text = code_text(code);
    return job.detail.isEmpty() ? text : text + QStringLiteral(": ") + job.detail;
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
    return end;
}

job_end succeeded()
{
    job_end end;
    end.what = job_end::kind::ok;
    end.has_code = true;
    end.code = outcome::success;
    end.exit = exit_code::ok;
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
        job_end end = code == outcome::success ? succeeded() : failed(job, code, QString());
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
