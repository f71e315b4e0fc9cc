// One device: its step texts as lines and the percentage, as a script or a person at a
// terminal reads them; on a terminal the percentage redraws the step's line in place, and
// the transfer is a progress bar with its rate and the time left.
#include "view_text.h"

#include "console.h"

namespace {

class single : public text_view
{
public:
    explicit single(const view_options &o) : text_view(o) {}

    void status(const flash_job &job) override
    {
        if (o.quiet)
            return;
        close_line();
        if (o.live)
            open_line(view_text::step_text(job, o));
        else
            console::out_line(view_text::step_text(job, o));
    }

    void progress(const flash_job &job) override
    {
        if (o.quiet)
            return;
        if (!o.live) {
            console::out_line(QStringLiteral("progress %1%").arg(job.progress));
            return;
        }
        const bool transfer = job.write_started_ms >= 0;
        if (transfer && !bar_open)
            close_line(); // the line of the step stays above the bar
        bar_open = transfer;
        const QString line = transfer ? view_text::progress_bar(job, o)
                                      : QStringLiteral("%1 %2%").arg(view_text::step_text(job, o)).arg(job.progress);
        // A full line would wrap on some terminals.
        open_line(QStringLiteral("\r\033[K") + console::fit(line, console::terminal_columns() - 1));
    }

    void result(const flash_job &job, int code) override
    {
        if (code == outcome::port_not_opened && !o.quiet)
            error(view_text::still_trying(QStringLiteral("serial port \"%1\"").arg(job.port), code));
    }

    void ended(const flash_job &job, const job_end &end) override
    {
        close_line();
        view_text::print_end(o.command, end);
        if (end.what != job_end::kind::ok)
            return;
        console::out_line(QStringLiteral("update complete"));
        if (o.live)
            console::out_line(QStringLiteral("wrote %1 bytes in %2")
                                  .arg(QString::number(job.bytes()),
                                       view_text::seconds(job.elapsed_ms(o.clock->elapsed()))));
        if (!end.verified) // last, where a script or a glance finds the verdict
            console::out_line(end.reason);
    }

    void summary(const QVector<const flash_job *> &, const QVector<job_end> &, int) override {}

    void gone(const QString &, const QString &) override {}

    void error(const QString &message) override
    {
        close_line();
        console::err_line(QStringLiteral("%1: %2").arg(o.command, message));
    }

private:
    // A line left open for the next redraw; anything else starts on a line of its own.
    void open_line(const QString &text)
    {
        console::out(text);
        line_open = true;
    }

    void close_line()
    {
        if (line_open)
            console::out(QStringLiteral("\n"));
        line_open = false;
        bar_open = false;
    }

    bool line_open = false;
    bool bar_open = false; // the open line is the bar of the transfer
};

} // namespace

std::unique_ptr<flash_view> single_view(const view_options &options)
{
    return std::make_unique<single>(options);
}
