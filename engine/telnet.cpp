#include "telnet.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace net_address {

namespace {

const struct { const char *prefix; scheme kind; } schemes[] = {
    {"rfc2217://", scheme::rfc2217},
    {"socket://", scheme::raw},
};

const char forms[] = "a serial port on a server is rfc2217://HOST:PORT or socket://HOST:PORT";

// "word:/" or "word://" in front: the name of something on a network, never a device
// path. One letter is a drive ("C:/"), not a scheme.
const QRegularExpression &url_like()
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:/+"));
    return scheme;
}

bool digits_only(const QString &text)
{
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return !text.isEmpty();
}

bool split_host(const QString &rest, QString *host, QString *port, QString *why)
{
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || rest.mid(close + 1, 1) != QLatin1String(":")) {
            *why = QStringLiteral("an IPv6 address is written [ADDRESS]:PORT");
            return false;
        }
        *host = rest.mid(1, close - 1);
        *port = rest.mid(close + 2);
        if (QHostAddress(*host).protocol() != QAbstractSocket::IPv6Protocol) {
            *why = QStringLiteral("\"%1\" is not an IPv6 address").arg(*host);
            return false;
        }
        return true;
    }
    const int colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) {
        *why = QStringLiteral("the address has no :PORT");
        return false;
    }
    *host = rest.left(colon);
    *port = rest.mid(colon + 1);
    if (host->contains(QLatin1Char(':'))) {
        *why = QStringLiteral("an IPv6 address goes in brackets: [%1]").arg(*host);
        return false;
    }
    return true;
}

bool host_name_ok(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QChar c : host)
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-')
              || c == QLatin1Char('_')))
            return false;
    return true;
}

} // namespace

bool is_network(const QString &name)
{
    return url_like().match(name).hasMatch();
}

namespace {

bool parse_known(const QString &name, address *out, QString *why)
{
    for (const auto &s : schemes) {
        const QLatin1String prefix(s.prefix);
        if (!name.startsWith(prefix, Qt::CaseInsensitive))
            continue;
        QString host, port;
        if (!split_host(name.mid(prefix.size()), &host, &port, why))
            return false;
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number < 1 || number > 65535 || !digits_only(port)) {
            *why = QStringLiteral("\"%1\" is not a TCP port (1 to 65535)").arg(port);
            return false;
        }
        if (!host.contains(QLatin1Char(':')) && !host_name_ok(host)) {
            *why = QStringLiteral("\"%1\" is not a host name or address").arg(host);
            return false;
        }
        out->kind = s.kind;
        out->host = host;
        out->port = quint16(number);
        return true;
    }
    *why = QStringLiteral("\"%1\" is not a scheme korvane speaks").arg(url_like().match(name).captured(0));
    return false;
}

} // namespace

bool parse(const QString &name, address *out, QString *why)
{
    if (parse_known(name, out, why))
        return true;
    *why += QStringLiteral("; ") + QLatin1String(forms);
    return false;
}

QString server(const address &a)
{
    const QString host = a.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(a.host) : a.host;
    return QStringLiteral("%1:%2").arg(host).arg(a.port);
}

QString endpoint(const address &a)
{
    address lower = a;
    const QHostAddress numeric(a.host);
    lower.host = numeric.isNull() ? a.host.toLower() : numeric.toString();
    return server(lower);
}

QString canonical(const address &a)
{
    const char *prefix = a.kind == scheme::rfc2217 ? "rfc2217://" : "socket://";
    return QLatin1String(prefix) + endpoint(a);
}

} // namespace net_address

namespace telnet {

QByteArray escape(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + data.count(char(iac)));
    for (const char c : data) {
        out.append(c);
        if (quint8(c) == iac)
            out.append(c);
    }
    return out;
}

QByteArray offer()
{
    const quint8 bytes[] = {iac, will, binary, iac, do_, binary, iac, will, suppress_go_ahead,
                            iac, do_, suppress_go_ahead, iac, will, com_port};
    return QByteArray(reinterpret_cast<const char *>(bytes), int(sizeof bytes));
}

QByteArray subnegotiation(quint8 command, const QByteArray &value)
{
    QByteArray out;
    out.append(char(iac)).append(char(sb)).append(char(com_port));
    out.append(escape(QByteArray(1, char(command)) + value));
    out.append(char(iac)).append(char(se));
    return out;
}

QByteArray four_bytes(quint32 value)
{
    QByteArray out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char(quint8(value >> shift)));
    return out;
}

void decoder::end_sub(const QByteArray &data, std::vector<event> *events)
{
    if (!sub.isEmpty()) {
        event e;
        e.what = event::kind::sub;
        e.option = quint8(sub.at(0));
        e.value = sub.mid(1);
        e.at = data.size();
        events->push_back(e);
    }
    sub.clear();
}

void decoder::feed(const char *bytes, qint64 size, QByteArray *data, std::vector<event> *events)
{
    for (qint64 i = 0; i < size; ++i) {
        const quint8 b = quint8(bytes[i]);
        switch (now) {
        case state::data:
            if (b == iac)
                now = state::command;
            else
                data->append(char(b));
            break;
        case state::command:
            if (b == iac) {
                data->append(char(b));
                now = state::data;
            } else if (b >= will && b <= dont) {
                verb = b;
                now = state::option;
            } else if (b == sb) {
                sub.clear();
                now = state::sub;
            } else {
                now = state::data; // NOP, GA and the like carry nothing for us
            }
            break;
        case state::option:
            events->push_back({event::kind::option, verb, b, {}, data->size()});
            now = state::data;
            break;
        case state::sub:
            if (b == iac)
                now = state::sub_command;
            else if (sub.size() < max_sub)
                sub.append(char(b));
            break;
        case state::sub_command:
            if (b == iac) {
                if (sub.size() < max_sub)
                    sub.append(char(b));
                now = state::sub;
            } else {
                // SE ends it; any other command inside one ends it too, and is taken as
                // the command it is rather than swallowing the data behind it.
                end_sub(*data, events);
                now = state::data;
                if (b != se) {
                    const char again[] = {char(iac), char(b)};
                    feed(again, 2, data, events);
                }
            }
            break;
        }
    }
}

bool negotiates(const QByteArray &first)
{
    if (first.size() < 3 || quint8(first[0]) != iac)
        return false;
    const quint8 verb = quint8(first[1]);
    return (verb >= will && verb <= dont) || verb == sb;
}

QByteArray answer(const event &e)
{
    if (e.what != event::kind::option)
        return {};
    const bool ours = e.option == binary || e.option == suppress_go_ahead || e.option == com_port;
    const bool theirs = e.option == binary || e.option == suppress_go_ahead;
    quint8 reply = 0;
    if (e.verb == do_ && !ours)
        reply = wont;
    else if (e.verb == will && !theirs)
        reply = dont;
    if (!reply)
        return {};
    return QByteArray().append(char(iac)).append(char(reply)).append(char(e.option));
}

} // namespace telnet

namespace telnet {

QByteArray setup_requests(const com_settings &s)
{
    QByteArray out;
    for (const quint8 control : {control_no_flow, control_dtr_on, control_rts_on})
        out += subnegotiation(set_control, QByteArray(1, char(control)));
    out += subnegotiation(set_baudrate, four_bytes(s.baud));
    out += subnegotiation(set_datasize, QByteArray(1, char(s.datasize)));
    out += subnegotiation(set_parity, QByteArray(1, char(s.parity)));
    out += subnegotiation(set_stopsize, QByteArray(1, char(s.stopsize)));
    out += subnegotiation(purge_data, QByteArray(1, char(purge_receive)));
    return out;
}

namespace {

QString parity_name(quint8 p)
{
    switch (p) {
    case parity_none: return QStringLiteral("none");
    case parity_odd: return QStringLiteral("odd");
    case parity_even: return QStringLiteral("even");
    case 4: return QStringLiteral("mark");
    case 5: return QStringLiteral("space");
    }
    return QStringLiteral("%1 (unknown)").arg(p);
}

QString value_text(quint8 command, const QByteArray &v)
{
    if (command == set_baudrate)
        return QString::number(v.size() == 4 ? quint32(quint8(v[0])) << 24 | quint32(quint8(v[1])) << 16
                                                   | quint32(quint8(v[2])) << 8 | quint32(quint8(v[3]))
                                             : 0);
    const quint8 b = v.isEmpty() ? 0 : quint8(v[0]);
    if (command == set_parity)
        return parity_name(b);
    if (command == set_stopsize)
        return b == 3 ? QStringLiteral("1.5") : QString::number(b);
    return QString::number(b);
}

} // namespace

settings_check check_answers(const com_settings &asked, const std::vector<event> &events)
{
    const struct { quint8 command; const char *name; QByteArray value; } wanted[] = {
        {set_baudrate, "baud rate", four_bytes(asked.baud)},
        {set_datasize, "data size", QByteArray(1, char(asked.datasize))},
        {set_parity, "parity", QByteArray(1, char(asked.parity))},
        {set_stopsize, "stop bits", QByteArray(1, char(asked.stopsize))},
    };
    settings_check result;
    int answered = 0;
    for (const auto &w : wanted) {
        const event *last = nullptr;
        for (const event &e : events)
            if (e.what == event::kind::sub && e.option == com_port && !e.value.isEmpty()
                && quint8(e.value[0]) == quint8(w.command + server_offset))
                last = &e;
        if (!last)
            continue;
        ++answered;
        const QByteArray got = last->value.mid(1);
        if (got != w.value && result.wrong.isEmpty())
            result.wrong = QStringLiteral("set the %1 to %2 instead of %3")
                               .arg(QLatin1String(w.name), value_text(w.command, got),
                                    value_text(w.command, w.value));
    }
    result.complete = answered == 4;
    return result;
}

} // namespace telnet
