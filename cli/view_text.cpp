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
        console::err_line(QStringLiteral("%1: interrupted while %2; the update did not finish")
                              .arg(who, end.step));
        break;
    case job_end::kind::no_result:
        console::err_line(
            QStringLiteral("%1: the update ended without a result while %2").arg(who, end.step));
        break;
    }
}

} // namespace view_text
