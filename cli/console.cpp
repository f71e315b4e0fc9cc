#include "console.h"

#include <QCommandLineParser>

#include <cstdio>
#include <unistd.h>

namespace console {

namespace {

void write_to(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void out(const QString &text)
{
    write_to(stdout, text);
}

void out_line(const QString &line)
{
    write_to(stdout, line + QLatin1Char('\n'));
}

void err_line(const QString &line)
{
    write_to(stderr, line + QLatin1Char('\n'));
}

bool stdout_is_terminal()
{
    if (!isatty(STDOUT_FILENO))
        return false;
    const QByteArray term = qgetenv("TERM");
    return term != "dumb";
}

int usage_error(const QString &command, const QString &message)
{
    err_line(QStringLiteral("%1: %2").arg(command, message));
    err_line(QStringLiteral("Try '%1 --help'.").arg(command));
    return exit_code::usage;
}

QString help_text(const QCommandLineParser &parser, const QString &usage,
                  const QString &description)
{
    // Qt's own usage line names argv[0] and knows nothing of subcommands; keep only the
    // option and argument lists after it.
    QString text = parser.helpText();
    const int options = text.indexOf(QLatin1String("\nOptions:"));
    if (options >= 0)
        text = text.mid(options + 1);
    return QStringLiteral("Usage: %1\n\n%2\n\n%3").arg(usage, description, text);
}

} // namespace console
