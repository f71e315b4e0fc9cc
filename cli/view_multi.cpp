// Several devices: on a terminal a line per port redrawn in place, elsewhere plain lines
// prefixed with the port; at the end a summary table of every port. Watching for devices,
// only the devices at work have live lines, and each end is a PASS or FAIL line.
#include "view_text.h"

#include "console.h"

#include <QHash>

namespace {

class multi : public text_view
{
public:
    explicit multi(const view_options &o) : text_view(o) {}

    void started(const flash_job &job) override
    {
        jobs << &job;
        label_width = qMax(label_width, console::display_width(job.port));
        if (o.live)
            redraw();
    }

    void status(const flash_job &job) override
    {
        if (o.quiet)
            return;
        if (o.live)
            redraw();
        else
            console::out_line(QStringLiteral("%1: %2").arg(job.port, view_text::step_text(job, o)));
    }

    void progress(const flash_job &job) override
    {
        if (o.quiet)
            return;
        if (o.live)
            dirty = true;
        else
            console::out_line(QStringLiteral("%1: progress %2%").arg(job.port).arg(job.progress)
                              + written(job));
    }

    void result(const flash_job &job, int code) override
    {
        if (code == outcome::port_not_opened && !o.quiet)
            error(view_text::still_trying(QStringLiteral("%1: serial port").arg(job.port), code));
    }

    void ended(const flash_job &job, const job_end &end) override
    {
        end_words.insert(&job, result_word(end));
        if (o.watch)
            jobs.removeOne(&job); // the ended devices of a shift would fill the screen
        above([&] {
            view_text::print_end(QStringLiteral("%1: %2").arg(o.command, job.port), end);
            if (o.watch)
                console::out_line(view_text::verdict(job, end, o));
            else if (end.what == job_end::kind::ok && !o.live && !o.quiet)
                console::out_line(QStringLiteral("%1: update complete").arg(job.port)
                                  + (end.verified ? QString() : QStringLiteral("; ") + end.reason));
        });
    }

    void watching(const QStringList &patterns, int count) override
    {
        if (o.quiet)
            return;
        const QString until = count > 0 ? QStringLiteral("until %1 devices have ended or Ctrl-C").arg(count)
                                        : QStringLiteral("until Ctrl-C");
        console::out_line(QStringLiteral("watching for devices at %1, %2")
                              .arg(patterns.join(QStringLiteral(", ")), until));
    }

    void appeared(const flash_job &job) override
    {
        if (o.quiet || o.live)
            return; // a live line appears for it
        console::out_line(QStringLiteral("%1: plugged in%2")
                              .arg(job.port, job.serial.isEmpty() ? QString() : QStringLiteral(" (serial %1)").arg(job.serial)));
    }

    void gone(const QString &port, const QString &) override
    {
        if (!o.quiet)
            above([&] { console::out_line(QStringLiteral("%1: unplugged").arg(port)); });
    }

    void summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends,
                 int) override;

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
    // " (2964 of 5004 bytes)" once the transfer has begun.
    QString written(const flash_job &job) const
    {
        if (job.write_started_ms < 0)
            return QString();
        return QStringLiteral(" (%1 of %2 bytes)").arg(job.bytes()).arg(o.image_size);
    }

    QString live_line(const flash_job &job) const;
    void redraw();
    template <typename Print> void above(Print print);

    QVector<const flash_job *> jobs;
    QHash<const flash_job *, QString> end_words;
    int label_width = 4;
    int drawn = 0; // live lines on the screen below the line of the cursor
    bool dirty = false;
};

void multi::summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends, int)
{
    if (o.live && dirty)
        redraw();
    int ok = 0;
    QStringList head{QStringLiteral("PORT"), QStringLiteral("RESULT"), QStringLiteral("TIME"),
                     QStringLiteral("BYTES WRITTEN")};
    if (o.watch)
        head.insert(1, QStringLiteral("SERIAL"));
    QVector<QStringList> rows{head};
    for (int i = 0; i < all.size(); ++i) {
        const flash_job &job = *all.at(i);
        ok += ends.at(i).what == job_end::kind::ok;
        QStringList row{job.port, result_word(ends.at(i)),
                        view_text::seconds(job.elapsed_ms(o.clock->elapsed())), QString::number(job.bytes())};
        if (o.watch)
            row.insert(1, job.serial.isEmpty() ? QStringLiteral("-") : job.serial);
        rows << row;
    }
    // Watching, the devices are not known in advance: the tally of both kinds.
    console::out_line(o.watch ? QStringLiteral("summary: %1 devices, %2 ok, %3 failed")
                                    .arg(all.size())
                                    .arg(ok)
                                    .arg(all.size() - ok)
                              : QStringLiteral("summary: %1 of %2 devices updated").arg(ok).arg(all.size()));
    if (all.isEmpty())
        return;
    for (const QString &line : console::columns(rows))
        console::out_line(line);
}

QString multi::live_line(const flash_job &job) const
{
    QString line = console::pad(job.port, label_width + 2);
    if (job.ended)
        return line + QStringLiteral("%1  %2  %3 bytes")
                          .arg(end_words.value(&job),
                               view_text::seconds(job.elapsed_ms(o.clock->elapsed())))
                          .arg(job.bytes());
    line += job.progress < 0 ? QStringLiteral("  -%") : QStringLiteral("%1%").arg(job.progress, 3);
    return line + QLatin1String("  ") + view_text::transfer(job, o) + QLatin1String("  ")
           + view_text::step_text(job, o);
}

void multi::redraw()
{
    dirty = false;
    const int columns = console::terminal_columns() - 1; // a full line would wrap on some terminals
    QString out;
    if (drawn > 0)
        out += QStringLiteral("\033[%1A").arg(drawn);
    for (const flash_job *job : qAsConst(jobs))
        out += QStringLiteral("\r\033[K") + console::fit(live_line(*job), columns) + QLatin1Char('\n');
    drawn = jobs.size();
    console::out(out);
}

// Prints a message above the live lines, which are then drawn again below it.
template <typename Print> void multi::above(Print print)
{
    if (o.live && drawn > 0) {
        console::out(QStringLiteral("\033[%1A\r\033[J").arg(drawn));
        drawn = 0;
    }
    print();
    if (o.live)
        redraw();
}

} // namespace

std::unique_ptr<flash_view> multi_view(const view_options &options)
{
    return std::make_unique<multi>(options);
}
