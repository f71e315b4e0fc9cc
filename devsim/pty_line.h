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
// bytes in both directions take that long each to cross, on fixed deadlines.
class pty_line
{
public:
    explicit pty_line(nanos byte_time);
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
    // starts crossing then, or when the line is free of the previous reply.
    void send(std::vector<reply_piece> pieces, nanos answered);
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
        nanos queued = 0;
        nanos start = -1; // when its first byte starts crossing; set once it is first in line
        int sent = 0;
    };

    const nanos byte_time;
    const int chunk; // bytes handed to the tool in one write, when paced
    int master = -1;
    int slave = -1;
    QByteArray slave_name;
    QByteArray link_path;

    QByteArray incoming;
    std::deque<nanos> arrival; // per byte of `incoming`, only when paced
    nanos incoming_at = 0;
    nanos rx_free = 0; // when the last byte read has finished crossing

    std::deque<outgoing> out;
    nanos tx_free = 0; // when the last byte sent finished crossing
    bool blocked = false;
};

} // namespace devsim
