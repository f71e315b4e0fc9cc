#pragma once
// What the two text views share.
#include "view.h"

std::unique_ptr<flash_view> single_view(const view_options &options);
std::unique_ptr<flash_view> multi_view(const view_options &options);

// What the text views share: a notice goes where errors go, unless quiet.
class text_view : public flash_view
{
public:
    explicit text_view(const view_options &o) : o(o) {}
    void notice(const flash_job &, const QString &message) override
    {
        if (!o.quiet)
            error(message);
    }

protected:
    const view_options o;
};

namespace view_text {

// "36.4 s"
QString seconds(qint64 ms);
// A port that could not be opened, as the code arrives: not the end, since every handshake
// attempt reopens the port. `what` names the port.
QString still_trying(const QString &what, int code);
// "12.5 KiB/48.9 KiB  11.2 KiB/s": bytes written of the image and, once the transfer
// has begun, the rate.
QString transfer(const flash_job &job, const view_options &o);
// On stderr, an end that is not a success, and an end that came although a stop had
// been asked for; `who` begins each line.
void print_end(const QString &who, const job_end &end);
// The step the job is at, in English unless the locale is a Chinese one.
QString step_text(const flash_job &job, const view_options &o);
// "[#########.........]  45%  12.3 KiB/s  00:17 left"
QString progress_bar(const flash_job &job, const view_options &o);
// "PASS  /dev/ttyUSB0  A50285BI  3.1 s  65540 bytes" (and why a success is not verified),
// or FAIL and why; in green or red where colour is allowed.
QString verdict(const flash_job &job, const job_end &end, const view_options &o);

} // namespace view_text
