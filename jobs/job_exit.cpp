#include "job_exit.h"

#include "outcome.h"

#include <QStringList>

namespace exit_code {

int for_result(int code)
{
    const int status = outcome::exit_status(code);
    return status < 0 ? internal : status;
}

namespace {

QString row(int status, const QString &meaning)
{
    return QStringLiteral("  %1  %2").arg(status, 3).arg(meaning);
}

} // namespace

QString table()
{
    QStringList text{QStringLiteral("Exit status (with several devices, the largest of theirs):")};
    text << row(ok, QStringLiteral("success (of every device)"));
    for (const outcome::description &d : outcome::results) {
        if (d.code == outcome::success)
            continue;
        // The failure as such; what the engine does next is not the exit's business.
        const QString english = QString::fromLatin1(d.english);
        text << row(for_result(d.code), english.section(QLatin1Char(';'), 0, 0));
    }
    text << row(usage, QStringLiteral("usage error"));
    text << row(internal, QStringLiteral("an update ended without a result"));
    text << row(cannot_create, QStringLiteral("an output file could not be written"));
    text << row(interrupted, QStringLiteral("stopped by Ctrl-C or SIGTERM"));
    return text.join(QLatin1Char('\n'));
}

} // namespace exit_code
