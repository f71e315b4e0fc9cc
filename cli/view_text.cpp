#include "view_text.h"

#include "console.h"

std::unique_ptr<flash_view> text_view(const view_options &options)
{
    return options.single ? single_view(options) : multi_view(options);
}

namespace view_text {

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
}

QString still_trying(const QString &what, int code)
{
    return QStringLiteral("%1 could not be opened (code %2); still trying while looking for the "
                          "bootloader")
        .arg(what)
        .arg(code);
}

QString transfer(const flash_job &job, const view_options &o)
{
    const qint64 bytes = job.bytes();
    QString out = QStringLiteral("%1/%2").arg(console::human_bytes(double(bytes)),
                                              console::human_bytes(double(o.image_size)));
    const qint64 ms = o.clock->elapsed() - job.write_started_ms;
    if (job.write_started_ms >= 0 && ms > 0 && bytes > 0)
        out += QStringLiteral("  %1/s").arg(console::human_bytes(double(bytes) * 1000.0 / double(ms)));
    return out;
}

void print_end(const QString &who, const job_end &end)
{
    if (end.after_stop)
        console::err_line(
            QStringLiteral("%1: the update had already ended when the stop was requested").arg(who));
    switch (end.what) {
    case job_end::kind::ok:
        break;
    case job_end::kind::failed:
        console::err_line(QStringLiteral("%1: update failed while %2: %3 (code %4)")
                              .arg(who, end.step, end.reason)
                              .arg(end.code));
        break;
    case job_end::kind::interrupted:
        console::err_line(end.left_in_bootloader ? QStringLiteral("%1: %2").arg(who, interrupted_text(end))
                                                 : QStringLiteral("%1: interrupted while %2; the update did not "
                                                                  "finish")
                                                       .arg(who, end.step));
        break;
    case job_end::kind::no_result:
        console::err_line(
            QStringLiteral("%1: the update ended without a result while %2").arg(who, end.step));
        break;
    }
}

QString step_text(const flash_job &job, const view_options &o)
{
    return o.chinese ? job.step : step_name(job.step);
}

namespace {

// "00:17": minutes and seconds, or "--:--" before there is a rate to go by.
QString time_left(qint64 bytes_left, double bytes_per_s)
{
    if (bytes_per_s <= 0)
        return QStringLiteral("--:--");
    const qint64 s = qint64(double(bytes_left) / bytes_per_s + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString why_not(const job_end &end)
{
    switch (end.what) {
    case job_end::kind::failed:
        return QStringLiteral("%1 (code %2)").arg(end.reason, QString::number(end.code));
    case job_end::kind::interrupted:
        return interrupted_text(end);
    case job_end::kind::ok:
    case job_end::kind::no_result:
        break;
    }
    return QStringLiteral("no result while %1").arg(end.step);
}

} // namespace

QString progress_bar(const flash_job &job, const view_options &o)
{
    constexpr int width = 24;
    const int value = qBound(0, job.progress, 100);
    const int filled = value * width / 100;
    const qint64 bytes = job.bytes();
    const qint64 ms = o.clock->elapsed() - job.write_started_ms;
    const double rate = ms > 0 ? double(bytes) * 1000.0 / double(ms) : 0.0;
    return QStringLiteral("[%1%2] %3%  %4/s  %5 left")
        .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('.')))
        .arg(value, 3)
        .arg(console::human_bytes(rate), time_left(o.image_size - bytes, rate));
}

QString verdict(const flash_job &job, const job_end &end, const view_options &o)
{
    const bool ok = end.what == job_end::kind::ok;
    QString line = QStringLiteral("%1  %2  %3  %4  %5 bytes")
                       .arg(ok ? QStringLiteral("PASS") : QStringLiteral("FAIL"), job.port,
                            job.serial.isEmpty() ? QStringLiteral("-") : job.serial,
                            seconds(job.elapsed_ms(o.clock->elapsed())), QString::number(job.bytes()));
    if (!ok)
        line += QLatin1String("  ") + why_not(end);
    else if (!end.verified)
        line += QLatin1String("  ") + end.reason;
    if (!o.colour)
        return line;
    return QStringLiteral("\033[1;%1m%2\033[0m").arg(QString::number(ok ? 32 : 31), line);
}

} // namespace view_text
