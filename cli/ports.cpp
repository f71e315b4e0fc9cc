#include "commands.h"
#include "command_line.h"
#include "console.h"
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
        console::out_line(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    }
}

void show_table(const QList<port_lookup::entry> &ports)
{
    if (ports.isEmpty())
        return;
    QVector<QStringList> rows{{QStringLiteral("NAME"), QStringLiteral("VID:PID"),
                               QStringLiteral("SERIAL"), QStringLiteral("DESCRIPTION")}};
    for (const port_lookup::entry &port : ports)
        rows << QStringList{port.name + (port.busy ? QStringLiteral("(忙)") : QStringLiteral("(闲)")),
                            or_dash(port_lookup::ids(port)), or_dash(port.serial),
                            or_dash(port.description)};
    for (const QString &line : console::columns(rows))
        console::out_line(line);
}

} // namespace

int run_ports(const QStringList &args)
{
    subcommand_parser parser(
        args.constFirst(), QStringLiteral("[--json]"),
        QStringLiteral("Lists the serial ports present, one a line under a heading: the system\n"
                       "name with (忙) when another process holds the port or (闲) when it is\n"
                       "free, as the window's port list shows them; then the USB vendor and\n"
                       "product ids, the serial number and the description (- where the port\n"
                       "has none). Give the name without the suffix to 'flash --port', or\n"
                       "usb:VID:PID[:SERIAL] to pick the port by its adapter."));
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
