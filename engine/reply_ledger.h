#pragma once
// What the device owes the worker, and what each frame that arrives is to the request
// awaited. A reply carries its command's code and nothing that names the request it answers
// (every block's reply looks alike), so the answer is told from late replies, copies and the
// line's echoes by these rules alone. Pure: the worker says what it sent and what arrived,
// with the time on its own clock, and asks what to do.
#include "round_trips.h"

#include <QByteArray>
#include <QString>

#include <optional>

class reply_ledger
{
public:
    // What arrived is, to the request awaited:
    enum class verdict {
        waiting, // nothing to take yet: the wait goes on
        answer,  // its answer
        stale,   // a late answer to an earlier request: set aside
        echo,    // the request itself, given back by the line: set aside
        suspect, // a block's reply far later than this line answers: the block goes again
        spoiled, // other bytes where the line's echo was due: nothing after them is taken
    };
    // What a wait for a reply has come to so far: waiting, answer or suspect, with the reply.
    struct heard
    {
        verdict what = verdict::waiting;
        QByteArray reply;
    };

    // The latest a reply is taken to come, in reply waits after its request.
    static constexpr int late_reply_waits = 3;

    // The line gives back every byte sent before the device's reply, as the operator says.
    void set_line_echoes(bool on) { echoing = on; }
    bool line_echoes() const { return echoing; }
    // The program start follows the blocks: the device's check of the image then proves them.
    void set_start_follows(bool on) { start_follows = on; }

    // ---- what the worker tells it

    // Bytes thrown away unread, in front of a request or while settling; `more_to_come`
    // keeps an unfinished frame at their end for its rest.
    void thrown_away(const QByteArray &bytes, bool more_to_come);
    // A settle is over, by the owed replies' coming or by its deadline.
    void settled();
    // A bootloader request went out at `now_us`; its reply is awaited for `wait_ms`.
    void sent(const QByteArray &request, qint64 now_us, int wait_ms);
    // Other bytes written, that owe no frame (the restart requests).
    void wrote(const QByteArray &bytes);
    // A wait for any whole frame as it is, judged by no rule: the protocol's own receive.
    void await_any();
    // Bytes that arrived at `now_us` while the reply is awaited.
    heard arrived(const QByteArray &bytes, qint64 now_us);
    // The wait for the reply ended without one.
    void gave_up();

    // ---- what it answers

    // Before `request` goes out: until when to take in and throw away what arrives first;
    // nothing when it may go at once.
    std::optional<qint64> settle_until(const QByteArray &request) const;
    // Replies still owed to the latest command's requests.
    int owed() const { return debt.count; }
    // After an attempt that got no answer: whether it counts against its command's attempts.
    bool attempt_counts(qint64 now_us) const;
    // While bytes written are still to come back on a line that echoes.
    bool echo_due() const { return !echo_left.isEmpty(); }
    // Takes the echo due off the front of `bytes`: true when other bytes came, an answer.
    bool beyond_echo(QByteArray bytes);
    // True once: the first echo on a line not said to echo, which the operator must hear of.
    bool tell_echo();
    // Why the latest command got no answer it could take, where the line showed more than
    // silence; empty otherwise.
    QString silence_reason() const;
    // How often each verdict was given.
    int count(verdict v) const { return counts[int(v)]; }
    // How often a new block waited for replies owed to earlier ones.
    int settle_count() const { return settles; }

private:
    struct owed_replies
    {
        quint8 command = 0;
        int count = 0;
        qint64 until_us = 0;
    };
    // What the line did instead of answering since the last answer taken.
    struct line_signs
    {
        int echoes = 0;
        bool echo_spoiled = false;
        bool echo_missing = false;
        bool doubled = false;
    };

    heard take(const QByteArray &reply, qint64 now_us);
    QByteArray take_answer();
    bool take_before_echo();
    bool plausible_block_reply(qint64 us);
    void pay(const QByteArray &commands);
    void pay_one(quint8 command);
    void note(verdict v, int times = 1);

    bool echoing = false;
    bool start_follows = false;

    owed_replies debt;      // of the latest command
    owed_replies earlier;   // of the command before it, still owed
    QByteArray pending;     // an unfinished frame among what is thrown away
    QByteArray last_sent;   // the latest bytes written
    QByteArray last_request; // the latest request, unless its reply was set aside as suspect
    QByteArray echo_left;   // of the latest bytes written, what the line has still to give back
    bool retrying = false;  // the latest request is the one before it again
    qint64 sent_us = 0;

    quint8 awaited = 0;     // 0: any whole frame
    QByteArray buffer;      // what arrived since the request
    QByteArray early;       // a late answer to an earlier attempt, ahead of this one's echo
    bool spoiled = false;

    round_trips pace;
    QByteArray suspect_block; // the block whose reply was set aside once already
    bool suspect_latest = false;
    line_signs since_answer;
    bool echo_told = false;
    bool echo_news = false;
    int settles = 0;
    int counts[int(verdict::spoiled) + 1] = {};
};
