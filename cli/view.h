#pragma once

#include "job.h"

#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include <memory>

// What the flash command shows while the workers run: human text or JSON Lines.
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
    bool single = true; // one device: no port prefixes, no summary
    bool live = false;  // redraw progress in place (a terminal)
    const QElapsedTimer *clock = nullptr;
};

// The lines of one device, or a line per device and a summary table (view_single.cpp,
// view_multi.cpp).
std::unique_ptr<flash_view> text_view(const view_options &options);
std::unique_ptr<flash_view> json_view(const view_options &options);
