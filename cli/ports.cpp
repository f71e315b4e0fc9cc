#include "commands.h"
#include "command_line.h"
#include "console.h"
#include "port_latency.h"
#include "port_lookup.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString or_dash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

void show_json(const QList<port_lookup::entry> &ports)
{
    for (const port_lookup::entry &port : ports) {
        QJsonObject o;
        o[QStringLiteral("name")] = port.name;
        o[QStringLiteral("location")] = port.location;
        o[QStringLiteral("busy")] = port.busy;
        o[QStringLiteral("vid")] = port.has_ids ? QJsonValue(int(port.vid)) : QJsonValue();
        o[QStringLiteral("pid")] = port.has_ids ? QJsonValue(int(port.pid)) : QJsonValue();
        o[QStringLiteral("usb")] = port.has_ids ? QJsonValue(port_lookup::usb_name(port)) : QJsonValue();
        o[QStringLiteral("serial")] = port.serial;
        o[QStringLiteral("description")] = port.description;
        o[QStringLiteral("manufacturer")] = port.manufacturer;
        const int latency = port_latency::timer_ms(port.name);
        o[QStringLiteral("latency_ms")] = latency < 0 ? QJsonValue() : QJsonValue(latency);
        console::out_line(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }
}

// The name alone, so that it can be pasted into --port as it stands.
void show_table(const QList<port_lookup::entry> &ports)
{
    if (ports.isEmpty())
        return;
    const bool chinese = console::chinese();
    QVector<QStringList> rows{{QStringLiteral("NAME"), QStringLiteral("BUSY"), QStringLiteral("VID:PID"),
                               QStringLiteral("SERIAL"), QStringLiteral("LATENCY"),
                               QStringLiteral("MAKER"), QStringLiteral("DESCRIPTION")}};
    for (const port_lookup::entry &port : ports) {
        const QString busy = chinese ? (port.busy ? QStringLiteral("忙") : QStringLiteral("闲"))
                                     : (port.busy ? QStringLiteral("yes") : QStringLiteral("no"));
        const int latency = port_latency::timer_ms(port.name);
        rows << QStringList{port.name, busy, or_dash(port_lookup::ids(port)), or_dash(port.serial),
                            latency < 0 ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(latency),
                            or_dash(port.manufacturer), or_dash(port.description)};
    }
    for (const QString &line : console::columns(rows))
        console::out_line(line);
}

} // namespace

int run_ports(const QStringList &args)
{
    subcommand_parser parser(
        args.constFirst(), QStringLiteral("[--json]"),
        QStringLiteral("Lists the serial ports present, one a line under a heading: the system\n"
                       "name, which 'flash --port' takes as it stands; whether another process\n"
                       "holds the port (yes or no, 忙 or 闲 under a Chinese locale); the USB\n"
                       "vendor and product ids and serial number, which usb:VID:PID[:SERIAL]\n"
                       "picks the port by; the adapter's latency timer where the system tells\n"
                       "it (\"16 ms\"); the driver's maker and description. - where a port has\n"
                       "none."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("One JSON object per port instead of the table."));
    parser.add(json);
    if (const std::optional<int> done = parser.parse(args))
        return *done;
    if (!parser.arguments().isEmpty())
        return parser.usage_error(QStringLiteral("takes no arguments"));

    const QList<port_lookup::entry> ports = port_lookup::present();
    if (parser.is_set(json))
        show_json(ports);
    else
        show_table(ports);
    if (ports.isEmpty())
        console::err_line(QStringLiteral("%1: no serial ports found").arg(parser.command));
    return exit_code::ok;
}
