#include "console.h"

namespace console {

namespace {

bool wide(uint c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF)
           || (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF)
           || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60)
           || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

bool dumb_terminal()
{
    return qgetenv("TERM") == "dumb";
}

} // namespace

void out(const QString &text)
{
    platform::write(platform::stream::out, text);
}

void out_line(const QString &line)
{
    platform::write(platform::stream::out, line + QLatin1Char('\n'));
}

void err_line(const QString &line)
{
    platform::write(platform::stream::err, line + QLatin1Char('\n'));
}

int usage_error(const QString &command, const QString &message)
{
    err_line(QStringLiteral("%1: %2").arg(command, message));
    err_line(QStringLiteral("Try '%1 --help'.").arg(command));
    return exit_code::usage;
}

bool stdout_is_terminal()
{
    return platform::is_terminal(platform::stream::out) && !dumb_terminal();
}

bool stderr_is_terminal()
{
    return platform::is_terminal(platform::stream::err);
}

int terminal_columns()
{
    const int columns = platform::columns_of_stdout();
    return columns > 0 ? columns : 80;
}

bool colour()
{
    return stdout_is_terminal() && qEnvironmentVariableIsEmpty("NO_COLOR");
}

bool chinese()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return value.startsWith("zh");
    }
    return false;
}

int display_width(const QString &text)
{
    int width = 0;
    for (const uint c : text.toUcs4())
        width += wide(c) ? 2 : 1;
    return width;
}

QString fit(const QString &text, int columns)
{
    if (display_width(text) <= columns)
        return text;
    QString out;
    int width = 0;
    for (const uint c : text.toUcs4()) {
        const int w = wide(c) ? 2 : 1;
        if (width + w > columns)
            break;
        out += QString::fromUcs4(&c, 1);
        width += w;
    }
    return out;
}

QString pad(const QString &text, int columns)
{
    return text + QString(qMax(0, columns - display_width(text)), QLatin1Char(' '));
}

QStringList columns(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows)
        for (int c = 0; c < row.size() - 1; ++c) {
            if (c >= widths.size())
                widths.append(0);
            widths[c] = qMax(widths.at(c), display_width(row.at(c)));
        }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size() - 1; ++c)
            line += pad(row.at(c), widths.at(c) + 2);
        lines << line + row.value(row.size() - 1);
    }
    return lines;
}

QString human_bytes(double bytes)
{
    if (bytes < 1024.0)
        return QStringLiteral("%1 B").arg(qint64(bytes));
    if (bytes < 1024.0 * 1024.0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 2);
}

} // namespace console
