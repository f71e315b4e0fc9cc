#include "command_line.h"

#include "console.h"

subcommand_parser::subcommand_parser(QString command, QString usage, QString description)
    : command(std::move(command)), usage(std::move(usage)), description(std::move(description)),
      help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."))
{
    parser.addOption(help);
}

void subcommand_parser::add_argument(const QString &name, const QString &description)
{
    parser.addPositionalArgument(name, description);
}

std::optional<int> subcommand_parser::parse(const QStringList &args)
{
    if (!parser.parse(args))
        return usage_error(parser.errorText());
    if (parser.isSet(help)) {
        console::out(help_text());
        return exit_code::ok;
    }
    return std::nullopt;
}

int subcommand_parser::usage_error(const QString &message) const
{
    return console::usage_error(command, message);
}

QString subcommand_parser::help_text() const
{
    // Qt's own usage line names argv[0] and knows nothing of subcommands; keep only the
    // option and argument lists after it.
    QString text = parser.helpText();
    const int options = text.indexOf(QLatin1String("\nOptions:"));
    if (options >= 0)
        text = text.mid(options + 1);
    return QStringLiteral("Usage: %1 %2\n\n%3\n\n%4").arg(command, usage, description, text);
}
