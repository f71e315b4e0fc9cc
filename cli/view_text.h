#pragma once
// What the two text views share.
#include "view.h"

std::unique_ptr<flash_view> single_view(const view_options &options);
std::unique_ptr<flash_view> multi_view(const view_options &options);

namespace view_text {

// "36.4 s"
QString seconds(qint64 ms);
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
// "PASS  /dev/ttyUSB0  A50285BI  3.1 s  65540 bytes", or FAIL and why; in green or red
// where colour is allowed.
QString verdict(const flash_job &job, const job_end &end, const view_options &o);

} // namespace view_text
