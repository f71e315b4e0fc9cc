#include "faults.h"

#include "frame.h"
#include "number.h"

#include <QStringList>

namespace devsim {

namespace {

struct kind_entry
{
    const char *name;
    fault_kind kind;
    int default_arg_ms;
};

const kind_entry kinds[] = {
    {"none", fault_kind::none, 0},
    {"lost", fault_kind::none, 0},
    {"corrupt", fault_kind::corrupt, 0},
    {"error", fault_kind::error, 0},
    {"stray", fault_kind::stray, 0},
    {"extra", fault_kind::extra, 0},
    {"delay", fault_kind::delay, 1000},
    {"late", fault_kind::late, 1000},
    {"split", fault_kind::split, 20},
    {"twice", fault_kind::twice, 0},
    {"loopback", fault_kind::loopback, 0},
    {"echo", fault_kind::echo, 0},
    {"gone", fault_kind::gone, 0},
    {"short", fault_kind::short_frame, 0},
    {"wrongstart", fault_kind::wrongstart, 0},
    {"wrongcmd", fault_kind::wrongcmd, 0},
    {"hangup", fault_kind::hangup, 0},
};

struct command_entry
{
    const char *name;
    quint8 code;
};

const command_entry commands[] = {
    {"handshake", frame::cmd_handshake}, {"info", frame::cmd_info},   {"erase", frame::cmd_erase},
    {"write", frame::cmd_write},         {"start", frame::cmd_start},
};

bool known_command(const QString &name)
{
    if (name == QLatin1String(modbus_name) || name == QLatin1String("any"))
        return true;
    for (const command_entry &c : commands)
        if (name == QLatin1String(c.name))
            return true;
    return false;
}

const kind_entry *find_kind(const QString &name)
{
    for (const kind_entry &k : kinds)
        if (name == QLatin1String(k.name))
            return &k;
    return nullptr;
}

// A day is far beyond any reply wait; the bound keeps deadline arithmetic safe.
constexpr quint64 max_arg_ms = 86400000;

// SKIP, COUNT and ARG, those that are given.
bool parse_numbers(const QStringList &parts, fault *f, QString *why)
{
    if (parts.size() > 2 && !parse_number(parts.at(2), ~quint64(0), &f->skip)) {
        *why = QStringLiteral("SKIP '%1' is not a number").arg(parts.at(2));
        return false;
    }
    if (parts.size() > 3 && !parse_number(parts.at(3), ~quint64(0), &f->count)) {
        *why = QStringLiteral("COUNT '%1' is not a number").arg(parts.at(3));
        return false;
    }
    quint64 ms = 0;
    if (parts.size() > 4 && !parse_number(parts.at(4), max_arg_ms, &ms)) {
        *why = QStringLiteral("ARG '%1' is not a number of milliseconds").arg(parts.at(4));
        return false;
    }
    if (parts.size() > 4)
        f->arg_ms = int(ms);
    return true;
}

} // namespace

const char *command_name(quint8 code)
{
    for (const command_entry &c : commands)
        if (c.code == code)
            return c.name;
    return "unknown";
}

bool fault::matches(const char *command_name) const
{
    return command == QLatin1String("any") || command == QLatin1String(command_name);
}

bool fault::hits()
{
    ++seen;
    if (seen <= skip)
        return false;
    return count == 0 || seen - skip <= count;
}

bool fault::timed() const
{
    return kind == fault_kind::delay || kind == fault_kind::late || kind == fault_kind::split
           || kind == fault_kind::twice;
}

bool parse_fault(const QString &text, fault *out, QString *why)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 5) {
        *why = QStringLiteral("expected CMD:KIND[:SKIP[:COUNT[:ARG]]]");
        return false;
    }
    fault f;
    f.command = parts.at(0);
    if (!known_command(f.command)) {
        *why = QStringLiteral("unknown command '%1'").arg(f.command);
        return false;
    }
    const kind_entry *kind = find_kind(parts.at(1));
    if (!kind) {
        *why = QStringLiteral("unknown kind '%1'").arg(parts.at(1));
        return false;
    }
    f.kind = kind->kind;
    f.kind_text = kind->name;
    f.arg_ms = kind->default_arg_ms;
    if (!parse_numbers(parts, &f, why))
        return false;
    *out = f;
    return true;
}

const fault *fault_plan::take(const char *command_name)
{
    const fault *applied = nullptr;
    for (fault &f : faults) {
        if (f.kind == fault_kind::echo || !f.matches(command_name))
            continue;
        // Every matching fault counts the request, even when an earlier one wins it.
        if (f.hits() && !applied)
            applied = &f;
    }
    return applied;
}

bool fault_plan::echoes(const char *command_name)
{
    bool echo = false;
    for (fault &f : faults)
        if (f.kind == fault_kind::echo && f.matches(command_name) && f.hits())
            echo = true;
    return echo;
}

} // namespace devsim
