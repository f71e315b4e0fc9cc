#pragma once
// The job model: what happened to each device of a flash run and how its update ended.
// Shared by every view of a run (the command line's text and JSON, a station's window),
// so it knows nothing of terminals or output.
#include "modbus.h"
#include "outcome.h"
#include "update_settings.h"

#include <QString>
#include <QVector>

#include <memory>
#include <vector>

class work;

// The line settings every device of a run shares.
struct line_settings
{
    qint32 baud_rate = 115200;
    QString parity = QStringLiteral("N"); // "N", "O" or "E"
    qint32 stop_bits = 1;                 // 1 or 2
    bool auto_start = true;
    QString descriptor = QString::fromLatin1(modbus::default_descriptor); // the restart request
};

// A device's own record for its worker.
void fill_settings(UpdateSettings &settings, const line_settings &line, const QString &port,
                   const QString &firmware);

// One device and what its worker has said so far. Read and written on the thread that
// runs the workers' signals only; the worker's own counter is the one exception.
struct flash_job
{
    QString given; // --port as typed
    QString port;  // the name the worker opens
    QString serial; // the adapter's USB serial number, empty when unknown
    QString board_serial; // the board's own serial number (a scanned label), empty when none
    UpdateSettings settings;
    QString refusal;       // why it was never started; empty when it ran
    int refusal_code = outcome::port_not_opened; // the result code it counts as
    // Some bootloaders start the program without answering the start request: silence then
    // counts as success, not verified.
    bool accept_silent_start = false;
    // The line gives back what korvane sends (an RS-485 adapter without echo suppression).
    bool line_echoes = false;

    QVector<int> results;
    QString step;        // the last status text
    qint64 step_started_ms = -1; // when it came
    QString result_step; // the status text when the last result came
    int progress = -1;   // the last percentage
    int shown_progress = -1; // the last one reported
    qint64 started_ms = -1;
    qint64 ended_ms = -1;
    qint64 write_started_ms = -1;
    bool ended = false;
    bool stop_seen = false; // a stop had been requested by the time the worker returned
    bool port_trouble_told = false; // a failed open needs no second look
    int looking_told = 0; // heartbeats told while the bootloader is looked for

    // While it runs, the worker counts the bytes its device confirmed (safe to read from
    // any thread); once it has returned, the count is kept here.
    const work *worker = nullptr;
    qint64 confirmed_at_end = 0;
    bool start_confirmed = false; // the device accepted the start: its check of the image passed
    QString failure_detail;       // the worker's words on its last result, taken as it came; often empty
    // The restart requests the worker sent and the replies they got, and whether the port's
    // device node had gone by the end (unplugged).
    int restart_requests = 0;
    int restart_replies = 0;
    bool port_gone = false;
    // Where the device said its program starts; 0 until it has answered the information
    // request. Beside a converted image's own address it tells a firmware built for another
    // device.
    quint32 device_address = 0;

    qint64 bytes() const;
    qint64 elapsed_ms(qint64 now) const;

    // The worker's signals, as they arrive; note_progress() says whether the percentage
    // is news to show (the transfer repeats values).
    void note_status(const QString &text, qint64 now_ms);
    bool note_progress(int value);
    void note_result(int code, const QString &why = QString());
    // While the bootloader is looked for, every looking_notice_ms: that korvane is still
    // trying and how long it has left; otherwise an empty string.
    QString looking_notice(qint64 now_ms);
    static constexpr qint64 looking_notice_ms = 5000;
    // The worker's start() has returned; what it left behind.
    struct worker_end
    {
        bool stop_requested = false;
        qint64 confirmed = 0;
        bool start_confirmed = false;
        int restart_requests = 0;
        int restart_replies = 0;
        quint32 device_address = 0;
    };
    void note_end(qint64 now_ms, const worker_end &end);
};

using job_list = std::vector<std::unique_ptr<flash_job>>;

// How one device's update ended, and the exit status it asks for.
struct job_end
{
    enum class kind { ok, failed, interrupted, no_result };
    kind what = kind::no_result;
    bool has_code = false;
    int code = 0;
    int exit = 0;
    bool verified = false; // a success the device confirmed by accepting the start
    QString step;   // in words: where it ended
    QString reason; // in words: why it failed, or why a success is not verified
    bool unplugged = false; // failed because the device was unplugged, not gone silent
    bool after_stop = false; // it ended with a code although a stop had been requested
    // Stopped once the bootloader had answered and before the start: the device stays in
    // its bootloader, where the next update finds it.
    bool left_in_bootloader = false;
};

job_end conclude(const flash_job &job);
// The exit status of the whole command: 0 when every device succeeded, otherwise the
// largest per-device status (so an interrupt, 130, and an update that never ended, 70,
// win over the update's own codes 1 to 5).
int overall_exit(const QVector<job_end> &ends);

// The step a status text begins, in English: "erasing the old firmware".
QString step_name(const QString &status);
// A result as it arrives, before the update has ended: "the device gave a wrong answer".
QString code_text(int code);
// "ok", "failed", "interrupted", "no result".
QString kind_word(job_end::kind what);
// An interrupted update, and what to do about it: "interrupted while writing the firmware;
// the device is left in its bootloader, ...".
QString interrupted_text(const job_end &end);
// The reason as the JSON events and the shift log give it: "unplugged" for a device pulled
// out mid-update, otherwise the reason in words (empty for a verified success).
QString reason_field(const job_end &end);
// The same with the failure's code, "failed (code -3)", and "ok, not verified" for a success
// the device did not confirm.
QString result_word(const job_end &end);
