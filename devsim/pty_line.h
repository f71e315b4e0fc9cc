#pragma once

#include "device.h"
#include "events.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <vector>

namespace devsim {

// Our end of a pseudo-terminal, made to behave like a serial line: the master carries the
// traffic, and our own descriptor of the slave stays open so that the tool can close and
// reopen the port as often as it likes without the line hanging up. With a byte time set,
// bytes in both directions take that long each to cross, on fixed deadlines. With a latency
// set, reply bytes that have crossed wait in a USB adapter's buffer until that long after
// the last of them arrived (or until a full packet is waiting) before the tool gets them.
class pty_line
{
public:
    pty_line(nanos byte_time, nanos latency);
    ~pty_line() { close(); }
    pty_line(const pty_line &) = delete;
    pty_line &operator=(const pty_line &) = delete;

    bool open(QString *why);
    const QByteArray &slave_path() const { return slave_name; }
    int master_fd() const { return master; }

    // A symlink at `path` to the slave, replacing what is there; removed by unlink_link().
    bool link(const QByteArray &path, QString *why);
    void unlink_link();
    // Both ends: to the tool this is the cable being pulled.
    void close();

    // Reads whatever the master holds. False when the line itself has gone.
    bool read_available(nanos now);
    // The bytes that have crossed the line by `now`; *last_at says when the last one did.
    QByteArray take_arrived(nanos now, nanos *last_at);
    // When the wanted-th byte on its way has finished crossing (or the last, when fewer are);
    // -1 when none is on its way.
    nanos next_arrival(int wanted) const;
    // Bytes read from the tool that have not finished crossing yet (all of them unpaced).
    const QByteArray &on_the_way() const { return incoming; }

    // Queues a reply to a request whose last byte crossed at `answered`: its first byte
    // starts crossing then, or when the line is free of the reply before it. Pieces set
    // apart wait for their own time and go out between other replies, never inside one.
    void send(std::vector<reply_piece> pieces, nanos answered);
    // A reply the device waits for is still on its way (pieces set apart do not count).
    bool sending() const { return !out.empty(); }
    // Writes what is due by `now`. False on a write error other than a full buffer.
    bool flush(nanos now);
    // When flush() next has something to write; -1 when idle or waiting for room.
    nanos next_send() const;
    bool waiting_for_room() const { return blocked; }

private:
    struct outgoing
    {
        QByteArray bytes;
        nanos delay = 0;
        nanos queued = 0; // of a piece set apart: when it is due
        nanos start = -1; // when its first byte starts crossing; set once that time has come
        int sent = 0;
        bool continues = false;  // a piece of a reply whose earlier pieces have gone first
        reply_piece afterwards;  // set apart, due `delay` after this one has left
    };
    enum class source { none, replies, apart };

    source next_source() const;
    nanos start_of(const outgoing &o) const;
    bool cross(outgoing &o, nanos now);
    int write_master(const char *bytes, int n);
    bool hand_over(nanos now);
    void set_apart(const reply_piece &piece, nanos due);

    const nanos byte_time;
    const nanos latency;
    const int chunk; // bytes handed to the tool in one write, when paced
    int master = -1;
    int slave = -1;
    QByteArray slave_name;
    QByteArray link_path;

    QByteArray incoming;
    std::deque<nanos> arrival; // per byte of `incoming`, only when paced
    nanos incoming_at = 0;
    nanos rx_free = 0; // when the last byte read has finished crossing

    std::deque<outgoing> out;   // what the device waits for, in order
    std::deque<outgoing> apart; // what it does not wait for, in the order due
    nanos tx_free = 0; // when the last byte sent finished crossing
    bool blocked = false;

    QByteArray adapter;     // crossed, not yet handed to the tool (with a latency only)
    nanos adapter_last = 0; // when the last of them arrived
};

} // namespace devsim
