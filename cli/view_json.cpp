// JSON Lines: one object per event on stdout, each with its kind and the milliseconds
// since the command started, and a summary object last.
#include "view.h"

#include "console.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

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
        e[QStringLiteral("format")] = o.format;
        e[QStringLiteral("total")] = double(o.image_size);
        e[QStringLiteral("warnings")] = QJsonArray::fromStringList(o.warnings);
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
        e[QStringLiteral("text")] = end.what == job_end::kind::ok          ? code_text(outcome::success)
                                    : end.what == job_end::kind::interrupted ? interrupted_text(end)
                                    : end.reason.isEmpty()                   ? result_word(end)
                                                                             : end.reason;
        write(e);
    }

    void summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends,
                 int exit) override;

    void appeared(const flash_job &job) override
    {
        QJsonObject e = event(job, "appear");
        e[QStringLiteral("serial")] = or_null(job.serial);
        write(e);
    }

    void gone(const QString &port, const QString &serial) override
    {
        QJsonObject e;
        e[QStringLiteral("kind")] = QStringLiteral("gone");
        e[QStringLiteral("port")] = port;
        e[QStringLiteral("serial")] = or_null(serial);
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
    static QJsonValue or_null(const QString &text)
    {
        return text.isEmpty() ? QJsonValue() : QJsonValue(text);
    }

    static QJsonObject event(const flash_job &job, const char *kind)
    {
        QJsonObject e;
        e[QStringLiteral("kind")] = QString::fromLatin1(kind);
        e[QStringLiteral("port")] = job.port;
        return e;
    }

    // What the end event and the summary's entry for a port share.
    void describe(QJsonObject &e, const flash_job &job, const job_end &end) const
    {
        e[QStringLiteral("result")] = kind_word(end.what);
        e[QStringLiteral("code")] = end.has_code ? QJsonValue(end.code) : QJsonValue();
        e[QStringLiteral("verified")] = end.verified;
        // "unplugged" for a device pulled out mid-update, not gone silent; else in words.
        e[QStringLiteral("reason")] = or_null(reason_field(end));
        e[QStringLiteral("exit")] = end.exit;
        e[QStringLiteral("time_ms")] = double(job.elapsed_ms(o.clock->elapsed()));
        e[QStringLiteral("bytes")] = double(job.bytes());
        if (!job.serial.isEmpty())
            e[QStringLiteral("serial")] = job.serial;
    }

    void write(QJsonObject e) const
    {
        e[QStringLiteral("ms")] = double(o.clock->elapsed());
        console::out_line(QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact)));
    }

    const view_options o;
};

void json::summary(const QVector<const flash_job *> &all, const QVector<job_end> &ends, int exit)
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
    e[QStringLiteral("failed")] = all.size() - ok;
    write(e);
}

} // namespace

std::unique_ptr<flash_view> json_view(const view_options &options)
{
    return std::make_unique<json>(options);
}
