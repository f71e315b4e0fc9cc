#pragma once
// A serial line and a bootloader inside the process, on a clock of their own: the worker's
// 5 ms waits and its pauses cost nothing, so a whole update with its retries and its 3 s
// erase waits runs in well under a millisecond. What the device does with each request
// (answer, lose it, answer late, twice, corrupted, ...) comes from a plan: the fuzz input,
// or a test's fault schedule.
#include "frame.h"
#include "image.h"

#include "line.h"

#include <functional>
#include <map>

namespace scripted {

// What becomes of one request. Replies name no request, so no rule can tell a `copy` or a
// reply later than three reply waits from an answer in every case: only the device's own
// check at the start can (see port::untellable()).
enum class act {
    answer,     // answered
    lose,       // the request never reaches the device
    lose_reply, // carried out, but its reply is lost
    late,       // answered `delay_us` late; the device reads on meanwhile
    blocked,    // answered `delay_us` late; the device reads nothing until the reply has left
    twice,      // answered twice at once
    copy,       // answered, and the same reply again `delay_us` after the first
    corrupt,    // the reply's last byte is off by one
    stray,      // a stray byte ahead of the reply
    error,      // an error reply, and nothing carried out
    split,      // the reply in two pieces, the second `delay_us` after the first
    echoed,     // the line gives the request back ahead of the reply
    gone,       // the device is gone from here on: the line loops every request back
};

struct fault
{
    act what = act::answer;
    qint64 delay_us = 0;
};

// The reply wait of a request's command, in milliseconds.
int reply_wait_ms(quint8 command);

struct device
{
    quint32 base = 0x8000;
    QByteArray flash = QByteArray(16384, char(0xFF));
    bool erased = false;
    quint32 erase_start = 0, erase_end = 0;
    bool started_ok = false; // a start request found a good image and said so
    bool start_refused = false;

    // The reply the device owes a request it carried out; empty for none.
    QByteArray carry_out(const QByteArray &request);

private:
    QByteArray start_program();
    bool inside(quint64 start, quint64 end) const;
};

class port : public line
{
public:
    // What becomes of each write (restart requests included), in the order written.
    using plan = std::function<fault(const QByteArray &written)>;
    port(plan p, device &d, QObject *parent) : line(parent), script(std::move(p)), target(d) {}

    // How the line and the device take their time: each byte crosses the line in
    // `us_per_byte` (87 at 115200 baud), and the device answers `turnaround_us` after it has
    // read a whole request. Both 0 unless set: everything arrives at once.
    void set_timing(qint64 us_per_byte, qint64 turnaround_us)
    {
        byte_us = us_per_byte;
        device_us = turnaround_us;
    }
    // The line gives back every byte written, ahead of the device's reply.
    void set_echoes(bool on) { echoes = on; }

    bool open() override { return opened = true; }
    void close() override { opened = false; }
    bool isOpen() const override { return opened; }
    QByteArray readAll() override;
    qint64 write(const char *data, qint64 size) override;
    bool waitForBytesWritten(int) override { return false; }
    bool waitForReadyRead(int msecs) override;
    QString errorString() const override { return {}; }

    qint64 now_us() const { return now; }
    // Time passes without a wait: the worker's pauses.
    void pass_ms(int ms) { now += qint64(ms) * 1000; }
    int writes() const { return taken; }
    // A copy of a block's reply, or one more than three reply waits late, arrived soon after
    // a block's request and ahead of its own reply (a lost request's never comes), and on a
    // line that echoes, after the request's echo: it may be taken for that block's answer,
    // and each block after it for the reply before its own.
    bool untellable() const { return ambiguous; }
    // A copy of a reply, or one more than three reply waits late, was sent at all. Once a
    // block's one reply set aside as too late has been used up, such a reply may pass for its
    // answer later than untellable() looks: with several faults, only this is safe to say.
    bool old_replies() const { return any_old; }
    // Within this much after a block's request, an old reply may pass for its answer.
    static constexpr qint64 untellable_us = 100000;

private:
    struct arrival
    {
        QByteArray bytes;
        int answers = -1; // the write it answers, or gives back
        bool old = false; // a copy, or a reply past every deadline
        bool echo = false;
    };
    void deliver();
    void schedule(qint64 at, const QByteArray &bytes, bool old = false);
    void note_arrival(const arrival &a);
    void answer(const QByteArray &request, const fault &f);
    qint64 crossing(const QByteArray &bytes) const { return byte_us * bytes.size(); }

    plan script;
    device &target;
    qint64 byte_us = 0;
    qint64 device_us = 0;
    bool echoes = false;
    qint64 now = 0;
    qint64 busy_until = 0; // the device reads nothing before its blocked reply has left
    qint64 line_free = 0;  // the device's replies leave one after another
    std::multimap<qint64, arrival> on_the_way;
    QByteArray arrived;
    int taken = 0;
    bool gone = false;
    qint64 block_at = -1;      // the latest write, when it is a block request
    bool block_answered = false; // ... and its own reply has come
    bool block_echoed = false;   // ... and the line gave it back
    bool ambiguous = false;
    bool any_old = false;
    bool opened = false;
};

} // namespace scripted
