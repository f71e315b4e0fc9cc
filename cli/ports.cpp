#include "commands.h"
#include "console.h"
#include "flash_report.h"
#include "port_lookup.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString or_dash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

} // namespace

int run_ports(const QStringList &args)
{
    const QString command = args.constFirst();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("One JSON object per port instead of the table."));
    parser.addOption(help);
    parser.addOption(json);
    if (!parser.parse(args))
        return console::usage_error(command, parser.errorText());
    if (parser.isSet(help)) {
        console::out(console::help_text(
            parser, command + QStringLiteral(" [--json]"),
            QStringLiteral("Lists the serial ports present, one a line under a heading: the system\n"
                           "name with (忙) when another process holds the port or (闲) when it is\n"
                           "free, as the window's port list shows them; then the USB vendor and\n"
                           "product ids, the serial number and the description (- where the port\n"
                           "has none). Give the name without the suffix to 'flash --port', or\n"
                           "usb:VID:PID[:SERIAL] to pick the port by its adapter.")));
        return exit_code::ok;
    }
    if (!parser.positionalArguments().isEmpty())
        return console::usage_error(command, QStringLiteral("takes no arguments"));

    const QList<port_lookup::entry> ports = port_lookup::present();
    if (parser.isSet(json)) {
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
    } else if (!ports.isEmpty()) {
        QStringList names;
        int widths[3] = {4, 7, 6};
        for (const port_lookup::entry &port : ports) {
            names << port.name + (port.busy ? QStringLiteral("(忙)") : QStringLiteral("(闲)"));
            widths[0] = qMax(widths[0], display_width(names.constLast()));
            widths[1] = qMax(widths[1], display_width(or_dash(port_lookup::ids(port))));
            widths[2] = qMax(widths[2], display_width(or_dash(port.serial)));
        }
        const auto row = [&](const QString &a, const QString &b, const QString &c, const QString &d) {
            const QString cells[3] = {a, b, c};
            QString line;
            for (int i = 0; i < 3; ++i)
                line += cells[i] + QString(widths[i] + 2 - display_width(cells[i]), QLatin1Char(' '));
            console::out_line(line + d);
        };
        row(QStringLiteral("NAME"), QStringLiteral("VID:PID"), QStringLiteral("SERIAL"),
            QStringLiteral("DESCRIPTION"));
        for (int i = 0; i < ports.size(); ++i) {
            const port_lookup::entry &port = ports.at(i);
            row(names.at(i), or_dash(port_lookup::ids(port)), or_dash(port.serial),
                or_dash(port.description));
        }
    }
    if (ports.isEmpty())
        console::err_line(QStringLiteral("%1: no serial ports found").arg(command));
    return exit_code::ok;
}
