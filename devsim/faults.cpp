#include "faults.h"

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
    {"corrupt", fault_kind::corrupt, 0},
    {"error", fault_kind::error, 0},
    {"stray", fault_kind::stray, 0},
    {"extra", fault_kind::extra, 0},
    {"delay", fault_kind::delay, 1000},
    {"split", fault_kind::split, 20},
    {"loopback", fault_kind::loopback, 0},
    {"short", fault_kind::short_frame, 0},
    {"wrongstart", fault_kind::wrongstart, 0},
    {"wrongcmd", fault_kind::wrongcmd, 0},
    {"hangup", fault_kind::hangup, 0},
};

const char *const commands[] = {"modbus", "handshake", "info", "erase", "write", "start", "any"};

bool parse_count(const QString &text, quint64 *out)
{
    bool ok = false;
    const quint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? text.mid(2).toULongLong(&ok, 16)
                          : text.toULongLong(&ok, 10);
    if (ok)
        *out = v;
    return ok;
}

} // namespace

const char *kind_name(fault_kind kind)
{
    for (const kind_entry &k : kinds)
        if (k.kind == kind)
            return k.name;
    return "?";
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

bool parse_fault(const QString &text, fault *out, QString *why)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 5) {
        *why = QStringLiteral("expected CMD:KIND[:SKIP[:COUNT[:ARG]]]");
        return false;
    }
    fault f;
    f.command = parts.at(0);
    bool known_command = false;
    for (const char *c : commands)
        known_command = known_command || f.command == QLatin1String(c);
    if (!known_command) {
        *why = QStringLiteral("unknown command '%1'").arg(f.command);
        return false;
    }
    const kind_entry *kind = nullptr;
    for (const kind_entry &k : kinds)
        if (parts.at(1) == QLatin1String(k.name))
            kind = &k;
    if (!kind) {
        *why = QStringLiteral("unknown kind '%1'").arg(parts.at(1));
        return false;
    }
    f.kind = kind->kind;
    f.arg_ms = kind->default_arg_ms;
    if (parts.size() > 2 && !parse_count(parts.at(2), &f.skip)) {
        *why = QStringLiteral("SKIP '%1' is not a number").arg(parts.at(2));
        return false;
    }
    if (parts.size() > 3 && !parse_count(parts.at(3), &f.count)) {
        *why = QStringLiteral("COUNT '%1' is not a number").arg(parts.at(3));
        return false;
    }
    if (parts.size() > 4) {
        quint64 ms = 0;
        // A day is far beyond any reply wait; the bound keeps deadline arithmetic safe.
        if (!parse_count(parts.at(4), &ms) || ms > 86400000) {
            *why = QStringLiteral("ARG '%1' is not a number of milliseconds").arg(parts.at(4));
            return false;
        }
        f.arg_ms = int(ms);
    }
    *out = f;
    return true;
}

const fault *fault_plan::take(const char *command_name)
{
    const fault *applied = nullptr;
    for (fault &f : faults) {
        if (!f.matches(command_name))
            continue;
        // Every matching fault counts the request, even when an earlier one wins it.
        if (f.hits() && !applied)
            applied = &f;
    }
    return applied;
}

} // namespace devsim
