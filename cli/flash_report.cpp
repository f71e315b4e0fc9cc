#include "flash_report.h"

#include "console.h"
#include "image.h"
#include "status_text.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A result as it arrives, before the update has ended.
QString code_text(int code)
{
    switch (code) {
    case 0:
        return QStringLiteral("update complete");
    case -1:
        return QStringLiteral("the serial port could not be opened; still trying while looking "
                              "for the bootloader");
    case -2:
        return QStringLiteral("reading or writing the device failed");
    case -3:
        return QStringLiteral("the device gave a wrong answer");
    case -4:
        return QStringLiteral("no answer from the device in time");
    case -5:
        return QStringLiteral("the firmware file could not be read");
    default:
        return QStringLiteral("unknown failure");
    }
}

// The same at the end of the update, with what is known by then.
QString explain_code(int code, const flash_job &job, const QString &firmware)
{
    switch (code) {
    case -1:
        return QStringLiteral("the serial port \"%1\" could not be opened").arg(job.port);
    case -4:
        if (job.results.contains(-1))
            return QStringLiteral("no answer from the device in time (the serial port \"%1\" "
                                  "could not be opened at first)")
                .arg(job.port);
        break;
    case -5: {
        // The worker only says "-5"; loading again tells why.
        const image::failure why = image::load(firmware).error;
        return why == image::failure::none
                   ? QStringLiteral("the firmware file \"%1\" could not be read").arg(firmware)
                   : QStringLiteral("the firmware file \"%1\" %2")
                         .arg(firmware, QString::fromLatin1(image::describe(why)));
    }
    }
    return code_text(code);
}

int terminal_columns()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
}

QString pad(const QString &text, int columns)
{
    return text + QString(qMax(0, columns - display_width(text)), QLatin1Char(' '));
}

// ---- text ------------------------------------------------------------------------------

class text : public flash_view
{
public:
    explicit text(const view_options &o) : o(o) {}

    void started(const flash_job &job) override
    {
        if (o.single)
            return;
        jobs << &job;
        label_width = qMax(label_width, display_width(job.port));
        if (o.live)
            redraw();
    }

    void notice(const flash_job &job, const QString &message) override
    {
        Q_UNUSED(job)
        above([&] { console::err_line(QStringLiteral("%1: %2").arg(o.command, message)); });
    }

    void status(const flash_job &job) override
    {
        if (!o.single) {
            if (o.live)
                redraw();
            else
                console::out_line(QStringLiteral("%1: %2").arg(job.port, job.step));
            return;
        }
        close_line();
        if (o.live) {
            console::out(job.step);
            line_open = true;
        } else {
            console::out_line(job.step);
        }
    }

    void progress(const flash_job &job) override
    {
        if (!o.single) {
            if (o.live)
                dirty = true;
            else if (job.write_started_ms < 0)
                console::out_line(QStringLiteral("%1: progress %2%").arg(job.port).arg(job.progress));
            else
                console::out_line(QStringLiteral("%1: progress %2% (%3 of %4 bytes)")
                                      .arg(job.port)
                                      .arg(job.progress)
                                      .arg(job.bytes())
                                      .arg(o.image_size));
            return;
        }
        if (o.live) {
            QString line = QStringLiteral("\r\033[K%1 %2%").arg(job.step).arg(job.progress);
            if (job.write_started_ms >= 0)
                line += QLatin1String("  ") + transfer(job);
            console::out(line);
            line_open = true;
        } else {
            console::out_line(QStringLiteral("progress %1%").arg(job.progress));
        }
    }

    void result(const flash_job &job, int code) override
    {
        if (code != -1)
            return;
        // Not the end: every handshake attempt reopens the port.
        above([&] {
            if (o.single)
                console::err_line(QStringLiteral("%1: serial port \"%2\" could not be opened (code "
                                                 "-1); still trying while looking for the "
                                                 "bootloader")
                                      .arg(o.command, job.port));
            else
                console::err_line(QStringLiteral("%1: %2: serial port could not be opened (code "
                                                 "-1); still trying while looking for the "
                                                 "bootloader")
                                      .arg(o.command, job.port));
        });
    }

    void ended(const flash_job &job, const job_end &end) override
    {
        end_words.insert(&job, result_word(end));
        const QString who = o.single ? o.command : QStringLiteral("%1: %2").arg(o.command, job.port);
        above([&] {
            if (end.after_stop)
                console::err_line(
                    QStringLiteral("%1: the update had already ended when the stop was requested")
                        .arg(who));
            switch (end.what) {
            case job_end::kind::ok:
                if (o.single)
                    console::out_line(QStringLiteral("update complete"));
                else if (!o.live)
                    console::out_line(QStringLiteral("%1: update complete").arg(job.port));
                break;
            case job_end::kind::failed:
                console::err_line(QStringLiteral("%1: update failed while %2: %3 (code %4)")
                                      .arg(who, end.step, end.reason)
                                      .arg(end.code));
                break;
            case job_end::kind::interrupted:
                console::err_line(QStringLiteral("%1: interrupted while %2; the update did not finish")
                                      .arg(who, end.step));
                break;
            case job_end::kind::no_result:
                console::err_line(QStringLiteral("%1: the update ended without a result while %2")
                                      .arg(who, end.step));
                break;
            }
        });
    }

    void summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends,
                 int) override
    {
        if (o.single)
            return;
        if (o.live && dirty)
            redraw();
        int ok = 0;
        for (const job_end &e : ends)
            ok += e.what == job_end::kind::ok;
        QStringList rows[4];
        const QString heads[4] = {QStringLiteral("PORT"), QStringLiteral("RESULT"),
                                  QStringLiteral("TIME"), QStringLiteral("BYTES WRITTEN")};
        int widths[4];
        for (int c = 0; c < 4; ++c)
            widths[c] = heads[c].size();
        for (int i = 0; i < all.size(); ++i) {
            const flash_job &job = *all.at(i);
            const QString cells[4] = {job.port, result_word(ends.at(i)),
                                      seconds(job.elapsed_ms(o.clock->elapsed())),
                                      QString::number(job.bytes())};
            for (int c = 0; c < 4; ++c) {
                rows[c] << cells[c];
                widths[c] = qMax(widths[c], display_width(cells[c]));
            }
        }
        console::out_line(QStringLiteral("summary: %1 of %2 devices updated").arg(ok).arg(all.size()));
        auto row = [&](const QString (&cells)[4]) {
            QString line;
            for (int c = 0; c < 3; ++c)
                line += pad(cells[c], widths[c] + 2);
            console::out_line(line + cells[3]);
        };
        row(heads);
        for (int i = 0; i < all.size(); ++i) {
            const QString cells[4] = {rows[0].at(i), rows[1].at(i), rows[2].at(i), rows[3].at(i)};
            row(cells);
        }
    }

    void tick() override
    {
        if (dirty)
            redraw();
    }

    void error(const QString &message) override
    {
        above([&] { console::err_line(QStringLiteral("%1: %2").arg(o.command, message)); });
    }

private:
    QString transfer(const flash_job &job) const
    {
        const qint64 bytes = job.bytes();
        QString out = QStringLiteral("%1/%2").arg(human_bytes(double(bytes)),
                                                  human_bytes(double(o.image_size)));
        const qint64 ms = o.clock->elapsed() - job.write_started_ms;
        if (job.write_started_ms >= 0 && ms > 0 && bytes > 0)
            out += QStringLiteral("  %1/s").arg(human_bytes(double(bytes) * 1000.0 / double(ms)));
        return out;
    }

    QString live_line(const flash_job &job) const
    {
        QString line = pad(job.port, label_width + 2);
        if (job.ended) {
            line += QStringLiteral("%1  %2  %3 bytes")
                        .arg(end_words.value(&job),
                             seconds(job.elapsed_ms(o.clock->elapsed())))
                        .arg(job.bytes());
            return line;
        }
        line += job.progress < 0 ? QStringLiteral("  -%") : QStringLiteral("%1%").arg(job.progress, 3);
        line += QLatin1String("  ") + transfer(job) + QLatin1String("  ") + job.step;
        return line;
    }

    void redraw()
    {
        dirty = false;
        const int columns = terminal_columns() - 1; // a full line would wrap on some terminals
        QString out;
        if (drawn > 0)
            out += QStringLiteral("\033[%1A").arg(drawn);
        for (const flash_job *job : qAsConst(jobs))
            out += QStringLiteral("\r\033[K") + fit(live_line(*job), columns) + QLatin1Char('\n');
        drawn = jobs.size();
        console::out(out);
    }

    // Prints a message without tearing the live lines: above them when several ports are
    // drawn, on a line of its own otherwise.
    template <typename Print> void above(Print print)
    {
        if (o.single) {
            close_line();
            print();
            return;
        }
        if (o.live && drawn > 0) {
            console::out(QStringLiteral("\033[%1A\r\033[J").arg(drawn));
            drawn = 0;
        }
        print();
        if (o.live)
            redraw();
    }

    void close_line()
    {
        if (line_open)
            console::out(QStringLiteral("\n"));
        line_open = false;
    }

    const view_options o;
    QVector<const flash_job *> jobs;
    QHash<const flash_job *, QString> end_words;
    int label_width = 4;
    int drawn = 0;
    bool dirty = false;
    bool line_open = false;
};

// ---- JSON Lines ------------------------------------------------------------------------

class json : public flash_view
{
public:
    explicit json(const view_options &o) : o(o) {}

    void started(const flash_job &job) override
    {
        QJsonObject e = event(job, "start");
        if (job.given != job.port)
            e[QStringLiteral("given")] = job.given;
        e[QStringLiteral("firmware")] = o.firmware;
        e[QStringLiteral("total")] = double(o.image_size);
        write(e);
    }

    void notice(const flash_job &job, const QString &message) override
    {
        QJsonObject e = event(job, "notice");
        e[QStringLiteral("text")] = message;
        write(e);
    }

    void status(const flash_job &job) override
    {
        QJsonObject e = event(job, "status");
        e[QStringLiteral("text")] = job.step;
        e[QStringLiteral("step")] = step_name(job.step);
        write(e);
    }

    void progress(const flash_job &job) override
    {
        QJsonObject e = event(job, "progress");
        e[QStringLiteral("value")] = job.progress;
        e[QStringLiteral("bytes")] = double(job.bytes());
        e[QStringLiteral("total")] = double(o.image_size);
        write(e);
    }

    void result(const flash_job &job, int code) override
    {
        QJsonObject e = event(job, "result");
        e[QStringLiteral("code")] = code;
        e[QStringLiteral("text")] = code_text(code);
        write(e);
    }

    void ended(const flash_job &job, const job_end &end) override
    {
        QJsonObject e = event(job, "end");
        describe(e, job, end);
        e[QStringLiteral("step")] = end.step;
        e[QStringLiteral("text")] = end.what == job_end::kind::ok ? QStringLiteral("update complete")
                                    : end.reason.isEmpty()        ? result_word(end)
                                                                  : end.reason;
        write(e);
    }

    void summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends,
                 int exit) override
    {
        QJsonObject e;
        e[QStringLiteral("kind")] = QStringLiteral("summary");
        e[QStringLiteral("exit")] = exit;
        int ok = 0;
        QJsonArray ports;
        for (int i = 0; i < all.size(); ++i) {
            QJsonObject p;
            p[QStringLiteral("port")] = all.at(i)->port;
            describe(p, *all.at(i), ends.at(i));
            ports.append(p);
            ok += ends.at(i).what == job_end::kind::ok;
        }
        e[QStringLiteral("ports")] = ports;
        e[QStringLiteral("devices")] = all.size();
        e[QStringLiteral("ok")] = ok;
        write(e);
    }

    void error(const QString &message) override
    {
        QJsonObject e;
        e[QStringLiteral("kind")] = QStringLiteral("error");
        e[QStringLiteral("text")] = message;
        write(e);
    }

private:
    static QJsonObject event(const flash_job &job, const char *kind)
    {
        QJsonObject e;
        e[QStringLiteral("kind")] = QString::fromLatin1(kind);
        e[QStringLiteral("port")] = job.port;
        return e;
    }

    void describe(QJsonObject &e, const flash_job &job, const job_end &end) const
    {
        static const char *const words[] = {"ok", "failed", "interrupted", "no result"};
        e[QStringLiteral("result")] = QString::fromLatin1(words[int(end.what)]);
        e[QStringLiteral("code")] = end.has_code ? QJsonValue(end.code) : QJsonValue();
        e[QStringLiteral("exit")] = end.exit;
        e[QStringLiteral("time_ms")] = double(job.elapsed_ms(o.clock->elapsed()));
        e[QStringLiteral("bytes")] = double(job.bytes());
    }

    void write(QJsonObject e) const
    {
        e[QStringLiteral("ms")] = double(o.clock->elapsed());
        console::out_line(QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact)));
    }

    const view_options o;
};

} // namespace

qint64 flash_job::elapsed_ms(qint64 now) const
{
    if (started_ms < 0)
        return 0;
    return (ended ? ended_ms : now) - started_ms;
}

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

job_end conclude(const flash_job &job, const QString &firmware)
{
    job_end end;
    const auto failed = [&](int code, const QString &step) {
        end.what = job_end::kind::failed;
        end.has_code = true;
        end.code = code;
        end.step = step;
        end.reason = explain_code(code, job, firmware);
        const int magnitude = code < 0 ? -code : code;
        end.exit = magnitude >= 1 && magnitude <= 5 ? magnitude : exit_code::internal;
    };
    if (!job.refusal.isEmpty()) {
        failed(job.refusal_code, step_name(QString::fromUtf8(job.refusal_code == -5 ? status_text::reading
                                                                                   : status_text::connecting)));
        end.reason = job.refusal;
        return end;
    }
    if (!job.results.isEmpty() && job.results.constLast() != -1) {
        const int code = job.results.constLast();
        if (code == 0) {
            end.what = job_end::kind::ok;
            end.has_code = true;
            end.step = step_name(job.result_step);
        } else {
            failed(code, step_name(job.result_step));
        }
        end.after_stop = job.stop_seen;
        return end;
    }
    if (job.stop_seen) {
        end.what = job_end::kind::interrupted;
        end.step = step_name(job.step);
        end.exit = exit_code::interrupted;
        return end;
    }
    if (!job.results.isEmpty()) {
        failed(job.results.constLast(), step_name(job.result_step));
        return end;
    }
    // Never success: nothing said the image is on the device.
    end.what = job_end::kind::no_result;
    end.step = step_name(job.step);
    end.exit = exit_code::internal;
    return end;
}

int overall_exit(const QVector<job_end> &ends)
{
    int exit = exit_code::ok;
    for (const job_end &e : ends)
        exit = qMax(exit, e.exit);
    return exit;
}

QString result_word(const job_end &end)
{
    switch (end.what) {
    case job_end::kind::ok:
        return QStringLiteral("ok");
    case job_end::kind::failed:
        return QStringLiteral("failed (code %1)").arg(end.code);
    case job_end::kind::interrupted:
        return QStringLiteral("interrupted");
    case job_end::kind::no_result:
        break;
    }
    return QStringLiteral("no result");
}

int display_width(const QString &text)
{
    int width = 0;
    for (const uint c : text.toUcs4())
        width += (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF)
                         || (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF)
                         || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60)
                         || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD)
                     ? 2
                     : 1;
    return width;
}

QString fit(const QString &text, int columns)
{
    if (display_width(text) <= columns)
        return text;
    const QVector<uint> chars = text.toUcs4();
    QString out;
    int width = 0;
    for (const uint c : chars) {
        const QString one = QString::fromUcs4(&c, 1);
        const int w = display_width(one);
        if (width + w > columns)
            break;
        out += one;
        width += w;
    }
    return out;
}

QString human_bytes(double bytes)
{
    if (bytes < 1024.0)
        return QStringLiteral("%1 B").arg(qint64(bytes));
    if (bytes < 1024.0 * 1024.0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 2);
}

std::unique_ptr<flash_view> text_view(const view_options &options)
{
    return std::make_unique<text>(options);
}

std::unique_ptr<flash_view> json_view(const view_options &options)
{
    return std::make_unique<json>(options);
}
