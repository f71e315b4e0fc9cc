#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

// What every subcommand's parser shares: -h/--help, the usage error for anything the
// parser refuses, and the help text under our own usage line.
class subcommand_parser
{
public:
    // `command` is "korvane-cli flash"; `usage` what follows it on the usage line;
    // `description` the help's paragraph (exit statuses included).
    subcommand_parser(QString command, QString usage, QString description);

    void add(const QCommandLineOption &option) { parser.addOption(option); }
    void add_argument(const QString &name, const QString &description);

    // An exit status when the command ends here: 0 after --help, 64 after a usage error.
    // Nothing when it is to go on.
    std::optional<int> parse(const QStringList &args);

    int usage_error(const QString &message) const;

    bool is_set(const QCommandLineOption &option) const { return parser.isSet(option); }
    QString value(const QCommandLineOption &option) const { return parser.value(option); }
    QStringList values(const QCommandLineOption &option) const { return parser.values(option); }
    QStringList arguments() const { return parser.positionalArguments(); }

    const QString command;

private:
    QString help_text() const;

    const QString usage;
    const QString description;
    QCommandLineParser parser;
    const QCommandLineOption help;
};
