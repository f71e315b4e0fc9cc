#include "reply_ledger.h"

#include "frame.h"

#include <algorithm>

// ---- owed replies ------------------------------------------------------------------------

// Every request but a handshake owes one reply, and every reply to its command that arrives,
// taken or thrown away, pays one: what is owed is what may still come and be mistaken.
void reply_ledger::sent(const QByteArray &request, qint64 now_us, int wait_ms)
{
    retrying = request == last_sent;
    wrote(request);
    last_request = request;
    sent_us = now_us;
    awaited = quint8(request[2]);
    buffer.clear();
    early.clear();
    spoiled = false;
    suspect_latest = false;
    if (awaited == frame::cmd_handshake)
        return; // the handshake is repeated until answered: a late answer to it finds it awaited
    // Another command's debt is kept as `earlier`: the device may still be busy with it.
    if (awaited != debt.command) {
        if (debt.count > 0)
            earlier = debt;
        debt = {awaited, 0, 0};
    }
    ++debt.count;
    debt.until_us = sent_us + qint64(late_reply_waits) * wait_ms * 1000;
}

void reply_ledger::wrote(const QByteArray &bytes)
{
    last_sent = bytes;
    echo_left = echoing ? bytes : QByteArray();
}

void reply_ledger::pay(const QByteArray &commands)
{
    for (const char code : commands)
        pay_one(quint8(code));
}

void reply_ledger::pay_one(quint8 command)
{
    owed_replies &owing = command == debt.command ? debt : earlier;
    if (command == owing.command)
        owing.count = std::max(0, owing.count - 1);
}

// An echo of the latest bytes written pays nothing: the line sent it, not the device.
void reply_ledger::thrown_away(const QByteArray &bytes, bool more_to_come)
{
    pending.append(bytes);
    if (!pending.isEmpty())
        pay(frame::take_replies(pending, last_sent));
    if (!more_to_come)
        pending.clear();
}

// ---- settling before a new block --------------------------------------------------------

// A block with new bytes first lets what earlier blocks are owed arrive, so that an earlier
// block's reply is never taken for its own; other commands need no wait, since a reply to
// another command is set aside by its code, and a block sent again is answered by any
// attempt's reply alike.
std::optional<qint64> reply_ledger::settle_until(const QByteArray &request) const
{
    if (quint8(request[2]) != frame::cmd_write || debt.command != frame::cmd_write
        || request == last_request || debt.count == 0)
        return std::nullopt;
    return debt.until_us;
}

// What has not come by its deadline is taken as never sent: a lost request owes nothing.
void reply_ledger::settled()
{
    ++settles;
    pending.clear();
    debt.count = 0;
}

// ---- attempts -----------------------------------------------------------------------------

// An attempt does not count when its reply was set aside as suspect (it did come), nor while
// an earlier command's reply is still owed and may still come: the device may be busy with
// that request (a second erase), and is not failing to answer this one.
bool reply_ledger::attempt_counts(qint64 now_us) const
{
    const bool busy_with_earlier = earlier.count > 0 && now_us < earlier.until_us;
    return !suspect_latest && !busy_with_earlier;
}

// ---- frames that arrive -------------------------------------------------------------------

void reply_ledger::await_any()
{
    awaited = 0;
    buffer.clear();
    early.clear();
    spoiled = false;
}

// As the protocol prescribes, what has arrived since the request must be exactly one frame;
// the rules below only take frames that answer nothing off its front.
reply_ledger::heard reply_ledger::arrived(const QByteArray &bytes, qint64 now_us)
{
    buffer.append(bytes);
    if (!spoiled && echo_due() && !take_before_echo()) {
        spoiled = true;
        note(verdict::spoiled);
    }
    // On a line that echoes, nothing is an answer before the request's own echo is back.
    if (spoiled || echo_due())
        return {};
    if (!early.isEmpty()) {
        pay(frame::take_replies(buffer, last_sent)); // this attempt's own, if in already
        return take(early, now_us);
    }
    const QByteArray answer = take_answer();
    return answer.isEmpty() ? heard{} : take(answer, now_us);
}

// The echo orders a line that echoes: what comes ahead of it was sent before this request
// went out. Such a frame is set aside, but for a late answer to an earlier attempt at this
// very request, which answers it as well as its own. False when bytes that are neither came
// where the echo was due.
bool reply_ledger::take_before_echo()
{
    for (;;) {
        int length = 0;
        switch (frame::echo_at_front(buffer, echo_left, &length)) {
        case frame::echo_front::waiting:
            return true;
        case frame::echo_front::spoiled:
            return false;
        case frame::echo_front::echo:
            buffer.remove(0, length);
            echo_left.clear();
            return true;
        case frame::echo_front::frame:
            break;
        }
        QByteArray ahead = buffer.left(length);
        buffer.remove(0, length);
        if (retrying && early.isEmpty() && quint8(ahead[2]) == awaited) {
            early = ahead;
        } else {
            pay(frame::take_replies(ahead));
            note(verdict::stale);
        }
    }
}

QByteArray reply_ledger::take_answer()
{
    // A handshake that comes back unchanged is its wrong answer, whatever follows it: the
    // line echoes, and the device's own answer behind the copy must not hide that.
    if (awaited == frame::cmd_handshake && !last_sent.isEmpty() && buffer.startsWith(last_sent))
        return last_sent;
    // A whole frame that answers another command is a late answer to an earlier request;
    // one byte for byte the request just sent is the line's echo, never an answer, and pays
    // nothing. Both are set aside and the wait goes on.
    if (awaited != 0 && !buffer.isEmpty()) {
        const QByteArray own = awaited == frame::cmd_handshake ? QByteArray() : last_sent;
        int echoed = 0;
        const QByteArray stale = frame::drop_stale_front(buffer, awaited, own, &echoed);
        pay(stale);
        note(verdict::stale, stale.size());
        note(verdict::echo, echoed);
    }
    if (frame::is_complete(buffer))
        return buffer;
    // Identical frames at once: a request sent twice answered twice, or a device that says it
    // twice, and any reply to the other commands answers alike. A block's reply names no
    // block, so a second copy may be an earlier block's late reply: only the device's check
    // of the image at the start can prove the block arrived.
    const int copies = frame::repeats(buffer);
    if (copies < 2 || quint8(buffer[2]) != awaited)
        return {};
    if (awaited == frame::cmd_write && !start_follows) {
        since_answer.doubled = true;
        return {};
    }
    for (int i = 1; i < copies; ++i)
        pay_one(awaited);
    return buffer.left(buffer.size() / copies);
}

reply_ledger::heard reply_ledger::take(const QByteArray &reply, qint64 now_us)
{
    if (awaited == 0)
        return {verdict::answer, reply};
    pay_one(awaited);
    since_answer = {};
    if (awaited == frame::cmd_write && !plausible_block_reply(now_us - sent_us)) {
        last_request.clear(); // sent again as a new block, after what is owed has come
        suspect_latest = true;
        return {verdict::suspect, reply};
    }
    note(verdict::answer);
    return {verdict::answer, reply};
}

// ---- the suspect margin -------------------------------------------------------------------

// A block's reply far later than this line answers is more likely an old reply (a late one,
// a copy) than its own: set aside once per block, and the block goes again. Should the next
// attempt be as slow, the line has slowed down. The pace is learnt only from replies that
// were the only one owed, and not from one set aside: either may answer an earlier request.
bool reply_ledger::plausible_block_reply(qint64 us)
{
    const bool suspect = suspect_block != last_sent && pace.suspect(us);
    if (debt.count == 0 && !suspect)
        pace.add(us);
    if (suspect) {
        suspect_block = last_sent;
        note(verdict::suspect);
    }
    return !suspect;
}

// ---- what the line did instead of answering ----------------------------------------------

void reply_ledger::gave_up()
{
    since_answer.echo_spoiled = since_answer.echo_spoiled || spoiled;
    since_answer.echo_missing = since_answer.echo_missing || (!spoiled && echo_due());
}

void reply_ledger::note(verdict v, int times)
{
    counts[int(v)] += times;
    if (v != verdict::echo || times == 0)
        return;
    since_answer.echoes += times;
    echo_news = echo_news || (!echoing && !echo_told);
    echo_told = true;
}

bool reply_ledger::tell_echo()
{
    const bool news = echo_news;
    echo_news = false;
    return news;
}

// On a line that echoes, the restart request's own bytes coming back are no reply; anything
// else is.
bool reply_ledger::beyond_echo(QByteArray bytes)
{
    if (frame::take_echo(bytes, echo_left) && bytes.isEmpty())
        return false;
    echo_left.clear();
    return true;
}

QString reply_ledger::silence_reason() const
{
    if (since_answer.echo_spoiled)
        return QStringLiteral("the line gave back other bytes than korvane sent, where its echo was "
                              "due: noise on the line, or another sender on it");
    if (since_answer.echo_missing)
        return QStringLiteral("korvane's own bytes did not come back ahead of the answer, though the "
                              "line was said to echo them: leave out --echo for a line that does not "
                              "echo");
    if (since_answer.echoes > 0)
        return QStringLiteral("the line only echoed what korvane sent, and nothing answered: the "
                              "device is gone or does not hear (a loopback left on the line?)");
    if (since_answer.doubled)
        return QStringLiteral("every answer to the block came twice at once, which cannot be told "
                              "from an earlier block's late answer unless the device checks the "
                              "image: update with the program start");
    return {};
}
