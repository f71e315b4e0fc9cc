#pragma once
// The pure pieces of a serial line reached over the network: the port names that stand
// for one, and the telnet and RFC 2217 (COM-PORT-OPTION) bytes that carry a serial line's
// data and settings over TCP. No sockets here, so they are tested byte for byte.
#include <QByteArray>
#include <QString>

#include <vector>

namespace net_address {

enum class scheme { rfc2217, raw };

struct address
{
    scheme kind = scheme::raw;
    QString host;      // without IPv6 brackets
    quint16 port = 0;  // 1 to 65535
};

// True for a name that looks like a network address, "word:/" or "word://" in front
// ("rfc2217://", "socket://", "tcp://", "rfc2217:/"), well formed or not: such a name is
// never a local port, so one korvane cannot use is refused rather than opened as a path.
bool is_network(const QString &name);
// rfc2217://HOST:PORT or socket://HOST:PORT (the scheme in any case); HOST is a name, an
// IPv4 address or an IPv6 address in brackets, PORT digits only. False with the reason,
// and the forms that are accepted, in *why for anything else.
bool parse(const QString &name, address *out, QString *why);
// "HOST:PORT", IPv6 in brackets: how messages name the server.
QString server(const address &a);
// The server an address reaches, in one spelling whatever the scheme ("host:port", a name
// in lower case, a numeric address in its shortest form): rfc2217:// and socket:// of one
// server are one port.
QString endpoint(const address &a);
// The one spelling of an address: its scheme, then endpoint().
QString canonical(const address &a);

} // namespace net_address

namespace telnet {

constexpr quint8 se = 240, nop = 241, sb = 250, will = 251, wont = 252, do_ = 253, dont = 254,
                 iac = 255;
constexpr quint8 binary = 0, echo = 1, suppress_go_ahead = 3, com_port = 44;

// RFC 2217's client requests; the server answers each with its code + 100.
enum com_command : quint8 {
    set_baudrate = 1,
    set_datasize = 2,
    set_parity = 3,
    set_stopsize = 4,
    set_control = 5,
    purge_data = 12,
};
constexpr quint8 server_offset = 100;

// RFC 2217's values.
enum : quint8 { parity_none = 1, parity_odd = 2, parity_even = 3 };
enum : quint8 { control_no_flow = 1, control_dtr_on = 8, control_rts_on = 11 };
enum : quint8 { purge_receive = 1 };

// Data bytes as they go on the wire: every 0xFF doubled.
QByteArray escape(const QByteArray &data);
// What the client offers when it connects: BINARY and SUPPRESS-GO-AHEAD both ways, and
// COM-PORT-OPTION.
QByteArray offer();
// IAC SB COM-PORT-OPTION command value IAC SE, with every 0xFF between SB and SE doubled.
QByteArray subnegotiation(quint8 command, const QByteArray &value);
QByteArray four_bytes(quint32 value); // big-endian, as SET-BAUDRATE carries it

// What the server said besides data.
struct event
{
    enum class kind { option, sub } what = kind::option;
    quint8 verb = 0;   // will, wont, do_ or dont (an option)
    quint8 option = 0;
    QByteArray value;  // a subnegotiation's bytes after its option, undoubled
    int at = 0;        // how many data bytes of the same feed() came before it
};

// Splits what arrives into data and telnet commands. Fed in pieces of any size: a command
// cut between two reads is completed by the next. A 0xFF data byte arrives doubled and
// leaves single; every other byte outside a command is data.
class decoder
{
public:
    void feed(const char *bytes, qint64 size, QByteArray *data, std::vector<event> *events);

    static constexpr int max_sub = 64; // a longer subnegotiation is cut, never stored whole

private:
    enum class state { data, command, option, sub, sub_command };
    void end_sub(const QByteArray &data, std::vector<event> *events);

    state now = state::data;
    quint8 verb = 0;
    QByteArray sub;
};

// The serial line's settings as RFC 2217 carries them.
struct com_settings
{
    quint32 baud = 9600;
    quint8 datasize = 8;
    quint8 parity = parity_none;
    quint8 stopsize = 1;
};

// Every request that sets the server's line up for an update: no flow control, DTR and
// RTS on (as opening a local port leaves them), baud rate, data size, parity, stop size,
// then a purge of what the server's port received before.
QByteArray setup_requests(const com_settings &s);

// The server's answers among `events` to setup_requests(), checked against what was asked.
struct settings_check
{
    bool complete = false; // all four line settings answered
    QString wrong;         // the first setting the server set otherwise, in words
};
settings_check check_answers(const com_settings &asked, const std::vector<event> &events);

// True when a connection's first bytes are a telnet command that negotiates (IAC, then
// WILL, WONT, DO, DONT or SB, then its option), as a telnet server opens a connection
// before the client has said anything. A device's own bytes seldom begin so.
bool negotiates(const QByteArray &first);

// The client's reply to a server's option request: it refuses every option it did not
// offer; to those it offered (and to refusals) it says nothing more, so no loop can start.
QByteArray answer(const event &e);

} // namespace telnet
