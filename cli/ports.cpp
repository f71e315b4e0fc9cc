#include "commands.h"
#include "console.h"

#include <QCommandLineParser>
#include <QSerialPortInfo>

int run_ports(const QStringList &args)
{
    const QString command = args.constFirst();
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    if (!parser.parse(args))
        return console::usage_error(command, parser.errorText());
    if (parser.isSet(help)) {
        console::out(console::help_text(
            parser, command,
            QStringLiteral("Lists the serial ports present, one a line, as the window's port\n"
                           "list shows them: the system name, then (忙) when another process\n"
                           "holds the port or (闲) when it is free. Give the name without the\n"
                           "suffix to 'flash --port'.")));
        return exit_code::ok;
    }
    if (!parser.positionalArguments().isEmpty())
        return console::usage_error(command, QStringLiteral("takes no arguments"));

    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        console::out_line(port.portName()
                          + (port.isBusy() ? QStringLiteral("(忙)") : QStringLiteral("(闲)")));
    if (ports.isEmpty())
        console::err_line(QStringLiteral("%1: no serial ports found").arg(command));
    return exit_code::ok;
}
