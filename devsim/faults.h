#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

// Misbehaviour on request: "--fault CMD:KIND[:SKIP[:COUNT[:ARG]]]". Each fault counts the
// requests it matches on its own; the first fault (in the order given) whose window covers a
// request is the one applied to it.
namespace devsim {

enum class fault_kind {
    none,       // no reply, request not carried out
    corrupt,    // last checksum byte off by one
    error,      // the error reply instead, request not carried out
    stray,      // 0x00 before the reply
    extra,      // 0x00 after the reply, same write
    delay,      // reply ARG ms late
    split,      // first 3 bytes, ARG ms, the rest
    loopback,   // the request itself comes back
    short_frame,// header and checksum only
    wrongstart, // start byte 0xAB
    wrongcmd,   // another command's byte
    hangup,     // the line goes away
};

const char *kind_name(fault_kind kind);

struct fault
{
    QString command; // "modbus", "handshake", "info", "erase", "write", "start" or "any"
    fault_kind kind = fault_kind::none;
    quint64 skip = 0;
    quint64 count = 1; // 0: every one from then on
    int arg_ms = 0;
    quint64 seen = 0; // matching requests so far

    bool matches(const char *command_name) const;
    // Counts one matching request; true when this one falls inside the fault's window.
    bool hits();
};

// Parses one option value; on failure returns false and says why.
bool parse_fault(const QString &text, fault *out, QString *why);

class fault_plan
{
public:
    void add(const fault &f) { faults.append(f); }
    bool empty() const { return faults.isEmpty(); }
    // The fault to apply to a request of this command, or nullptr.
    const fault *take(const char *command_name);

private:
    QVector<fault> faults;
};

} // namespace devsim
