#pragma once

#include "job.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
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
    // Watching for devices: the watch begins (the patterns, and the devices it ends after,
    // 0 for no limit); a device that matches was plugged in (its job about to start); one
    // that had been taken up was unplugged.
    virtual void watching(const QStringList &, int) {}
    virtual void appeared(const flash_job &) {}
    virtual void gone(const QString &port, const QString &serial) = 0;
    // Something outside the workers went wrong before any could start (an unusable
    // firmware file, for example).
    virtual void error(const QString &text) = 0;
};

struct view_options
{
    QString command; // "korvane-cli flash", the prefix of messages
    QString firmware;
    qint64 image_size = 0;
    QString format;  // "Intel HEX", "binary", ... (image::format_name)
    QStringList warnings; // about the image, for every device's start (image::warnings)
    bool single = true; // one device: no port prefixes, no summary
    bool live = false;  // redraw progress in place (a terminal)
    bool watch = false; // devices come and go: a PASS or FAIL line as each ends
    bool quiet = false; // only errors and the final result or summary
    bool colour = false;
    bool chinese = false; // step texts as the update gives them rather than in English
    const QElapsedTimer *clock = nullptr;
};

// The lines of one device, or a line per device and a summary table (view_single.cpp,
// view_multi.cpp).
std::unique_ptr<flash_view> text_view(const view_options &options);
std::unique_ptr<flash_view> json_view(const view_options &options);
