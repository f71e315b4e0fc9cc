#pragma once

#include "update_settings.h"
#include "wire_watch.h"

#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include <memory>

// One device of a flash command and what its worker has said so far. Everything but the
// watch is read and written on the main thread only.
struct flash_job
{
    QString given; // --port as typed
    QString port;  // the name the worker opens
    UpdateSettings settings;
    QString refusal; // why it was never started; empty when it ran
    int refusal_code = -1; // the code it counts as: -1 a port that cannot be used
    std::unique_ptr<wire_watch> watch;

    QVector<int> results;
    QString step;        // the last status text
    QString result_step; // the status text when the last result came
    int progress = -1;   // the last percentage
    int shown_progress = -1; // the last one reported; the transfer repeats values
    qint64 started_ms = -1;
    qint64 ended_ms = -1;
    qint64 write_started_ms = -1;
    bool ended = false;
    bool stop_seen = false; // a stop had been requested by the time the worker returned

    qint64 bytes() const { return watch ? watch->bytes_written() : 0; }
    qint64 elapsed_ms(qint64 now) const;
};

// How one device's update ended, and the exit status it asks for.
struct job_end
{
    enum class kind { ok, failed, interrupted, no_result };
    kind what = kind::no_result;
    bool has_code = false;
    int code = 0;
    int exit = 0;
    QString step;   // in words: where it ended
    QString reason; // in words: why it failed; empty on success
    bool after_stop = false; // it ended with a code although a stop had been requested
};

job_end conclude(const flash_job &job, const QString &firmware);
// The exit status of the whole command: 0 when every device succeeded, otherwise the
// largest per-device status (so an interrupt, 130, and an update that never ended, 70,
// win over the update's own codes 1 to 5).
int overall_exit(const QVector<job_end> &ends);
QString step_name(const QString &status);
QString result_word(const job_end &end);

// What the command shows while the workers run: human text or JSON Lines.
class flash_view
{
public:
    virtual ~flash_view() = default;
    virtual void started(const flash_job &) {}
    // An explanation about a port that is not an end: it is busy, it could not be opened.
    virtual void notice(const flash_job &job, const QString &text) = 0;
    virtual void status(const flash_job &job) = 0;
    virtual void progress(const flash_job &job) = 0;
    virtual void result(const flash_job &job, int code) = 0;
    virtual void ended(const flash_job &job, const job_end &end) = 0;
    virtual void summary(const QVector<const flash_job *> &jobs, const QVector<job_end> &ends,
                         int exit) = 0;
    // Called a few times a second while workers run, for live redraws.
    virtual void tick() {}
    // Something outside the workers went wrong before any could start (an unusable
    // firmware file, for example).
    virtual void error(const QString &text) = 0;
};

struct view_options
{
    QString command; // "korvane-cli flash", the prefix of messages
    QString firmware;
    qint64 image_size = 0;
    bool single = true; // one device: exactly the lines a one-port flash has always printed
    bool live = false;  // redraw progress in place (a terminal)
    const QElapsedTimer *clock = nullptr;
};

std::unique_ptr<flash_view> text_view(const view_options &options);
std::unique_ptr<flash_view> json_view(const view_options &options);

// Width in terminal columns: CJK characters take two.
int display_width(const QString &text);
// Cut to at most `columns`, whole characters only.
QString fit(const QString &text, int columns);
// "12.5 KiB" and "11.2 KiB/s".
QString human_bytes(double bytes);
