#pragma once
// The flash command's pieces, in the order run_flash() runs them: parse the command line,
// open the shift log, resolve the ports, preflight (one image for all, ports that can
// never work refused), run the workers, report. Watching for devices, each is resolved and
// preflighted as it is plugged in.
#include "image.h"
#include "job.h"
#include "port_lookup.h"
#include "port_watch.h"

#include <QElapsedTimer>
#include <QStringList>

#include <optional>

class flash_view;
class shift_log;
class QThread;

// What the command line asks for.
struct flash_request
{
    QString command; // "korvane-cli flash", the prefix of messages
    QString firmware;
    QStringList ports; // --port as given, in order
    QList<port_watch::pattern> watch; // --watch, instead of ports
    int count = 0;     // --count: the watch ends once this many devices have ended; 0 never
    QString log;       // --log FILE; empty for none
    line_settings line;
    bool accept_silent_start = false; // --accept-silent-start
    bool line_echoes = false; // --echo
    bool verbose = false;
    bool quiet = false;
    bool json = false;
    bool trace = false;
    bool raw = false;  // --raw: the file is a binary image, whatever it looks like
};

// flash_options.cpp. An exit status when the command ends here (--help, a usage error).
std::optional<int> parse_flash(const QStringList &args, flash_request *request);

// flash_ports.cpp. A job per --port, usb: names resolved against the ports present. A
// usb: name that matches none is that job's refusal; a malformed one, one that matches
// several ports, and one port named twice are usage errors (the exit status returned).
std::optional<int> resolve_ports(const flash_request &request,
                                 const QList<port_lookup::entry> &present, job_list *jobs);

// flash_ends.cpp. Every device's end, whichever way it came: shown by the view and, with
// --log, appended to the shift log at once.
class device_ends
{
public:
    // `log` is null without --log.
    device_ends(const flash_request &request, const image::loaded &firmware, flash_view &view,
                shift_log *log);
    void record(const flash_job &job);
    // Some record could not be written (each failure has been told on stderr).
    bool log_failed() const { return failed; }

    flash_view &view;

private:
    const flash_request &request;
    const image::loaded &firmware;
    shift_log *log;
    bool failed = false;
};

// Why the firmware cannot become an image, to follow "the firmware file "NAME" ".
QString firmware_refusal(const image::loaded &firmware);

// flash_preflight.cpp. Every job's settings; the refusal of every job when the firmware
// cannot become an image, otherwise of each port that can never be used, told at once.
void preflight(const flash_request &request, const image::loaded &firmware,
               const QList<port_lookup::entry> &present, job_list &jobs, device_ends &ends);
// One job's settings and serial number, and its refusal when its port can never be used.
void prepare_job(const flash_request &request, const QList<port_lookup::entry> &present,
                 flash_job &job, flash_view &view);

// flash_runner.cpp. Runs every job that was not refused, each worker on its own thread
// with `image` as its firmware; returns when all have ended.
void run_jobs(const flash_request &request, job_list &jobs, const image::loaded &firmware,
              device_ends &ends, const QElapsedTimer &clock);

// flash_watch.cpp. Updates every device that the patterns find, once each, until Ctrl-C or
// SIGTERM or until --count devices have ended; `jobs` gets one job per device. False when
// it was stopped before --count devices had ended.
bool run_watch(const flash_request &request, const image::loaded &firmware, device_ends &ends,
               const QElapsedTimer &clock, job_list &jobs);

// engine_log.cpp. The engine's debug log, shown only with --verbose; with several
// devices each line starts with the port of the worker thread that wrote it.
namespace engine_log {
void install(bool verbose, bool single);
void name_thread(const QThread *thread, const QString &port); // before the thread starts
void forget_threads();
} // namespace engine_log
