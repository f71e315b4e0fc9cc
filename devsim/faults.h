#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

// Misbehaviour on request: "--fault CMD:KIND[:SKIP[:COUNT[:ARG]]]". Each fault counts the
// requests it matches on its own; the first fault (in the order given) whose window covers a
// request is the one applied to it.
namespace devsim {

enum class fault_kind {
    none,       // request lost: no reply, not carried out
    corrupt,    // last checksum byte off by one
    error,      // the error reply instead, request not carried out
    stray,      // 0x00 before the reply
    extra,      // 0x00 after the reply, same write
    delay,      // reply ARG ms late, the device waiting for it
    late,       // reply ARG ms late, the device serving later requests meanwhile
    split,      // first 3 bytes, ARG ms, the rest
    twice,      // the reply, and the same bytes again ARG ms after it left
    loopback,   // the request itself comes back
    echo,       // the request itself, then the reply: a line that echoes
    gone,       // from here on nothing is carried out and every request comes back
    short_frame,// header and checksum only
    wrongstart, // start byte 0xAB
    wrongcmd,   // another command's byte
    hangup,     // the line goes away
};

// The name by which events and faults know a bootloader command code: "handshake",
// "info", "erase", "write", "start", or "unknown" for a code the device does not know.
const char *command_name(quint8 code);
// Name of the Modbus requests in events and faults.
constexpr const char *modbus_name = "modbus";

struct fault
{
    QString command; // a command name, or "any"
    fault_kind kind = fault_kind::none;
    const char *kind_text = "none"; // as given, an alias included: events say what was asked
    quint64 skip = 0;
    quint64 count = 1; // 0: every one from then on
    int arg_ms = 0;
    quint64 seen = 0; // matching requests so far

    bool matches(const char *command_name) const;
    // Counts one matching request; true when this one falls inside the fault's window.
    bool hits();
    // Whether its event names the milliseconds of ARG.
    bool timed() const;
};

// Parses one option value; on failure returns false and says why.
bool parse_fault(const QString &text, fault *out, QString *why);

class fault_plan
{
public:
    void add(const fault &f) { faults.append(f); }
    bool empty() const { return faults.isEmpty(); }
    // The fault to apply to a request of this command, or nullptr. An echo is the line's
    // doing, not the device's: it never takes the place of another fault.
    const fault *take(const char *command_name);
    // Whether the line echoes this request: an echo fault covers it.
    bool echoes(const char *command_name);

private:
    QVector<fault> faults;
};

} // namespace devsim
