#pragma once
// The flash command's pieces, in the order run_flash() runs them: parse the command line,
// resolve the ports, preflight (one image for all, ports that can never work refused),
// run the workers, report.
#include "image.h"
#include "job.h"
#include "port_lookup.h"

#include <QElapsedTimer>
#include <QStringList>

#include <optional>

class flash_view;
class QThread;

// What the command line asks for.
struct flash_request
{
    QString command; // "korvane-cli flash", the prefix of messages
    QString firmware;
    QStringList ports; // --port as given, in order
    qint32 baud_rate = 0;
    QString parity;    // "N", "O" or "E"
    int stop_bits = 0; // 1 or 2
    bool auto_start = true;
    QString descriptor;
    bool verbose = false;
    bool json = false;
    bool trace = false;
};

// flash_options.cpp. An exit status when the command ends here (--help, a usage error).
std::optional<int> parse_flash(const QStringList &args, flash_request *request);

// flash_ports.cpp. A job per --port, usb: names resolved against the ports present. A
// usb: name that matches none is that job's refusal; a malformed one, one that matches
// several ports, and one port named twice are usage errors (the exit status returned).
std::optional<int> resolve_ports(const flash_request &request,
                                 const QList<port_lookup::entry> &present, job_list *jobs);

// flash_preflight.cpp. Every job's settings; the refusal of every job when the firmware
// cannot become an image, otherwise of each port that can never be used, told at once.
void preflight(const flash_request &request, const image::loaded &firmware,
               const QList<port_lookup::entry> &present, job_list &jobs, flash_view &view);

// flash_runner.cpp. Runs every job that was not refused, each worker on its own thread
// with `image` as its firmware; returns when all have ended.
void run_jobs(job_list &jobs, const QByteArray &image, flash_view &view,
              const QElapsedTimer &clock, bool trace);

// engine_log.cpp. The engine's debug log, shown only with --verbose; with several
// devices each line starts with the port of the worker thread that wrote it.
namespace engine_log {
void install(bool verbose, bool single);
void name_thread(const QThread *thread, const QString &port); // before the thread starts
void forget_threads();
} // namespace engine_log
