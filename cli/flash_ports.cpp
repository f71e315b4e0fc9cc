#include "flash.h"

#include "console.h"
#include "telnet.h"

#include <QHash>

namespace {

// Which device a usb: name means. One that matches several ports is a usage error (its
// message returned), since the command line does not say which one is meant; one that
// matches none is that device's refusal, and the others go on.
QString resolve_usb(flash_job &job, const QList<port_lookup::entry> &present)
{
    port_lookup::usb_ids ids;
    QString why;
    if (!port_lookup::parse_usb(job.given, &ids, &why))
        return QStringLiteral("bad --port %1").arg(why);
    const QList<port_lookup::entry> found = port_lookup::matches(ids, present);
    if (found.size() > 1)
        return port_lookup::describe_resolution(job.given, found, present);
    if (found.isEmpty())
        job.refusal = port_lookup::describe_resolution(job.given, found, present);
    else
        job.port = found.constFirst().location;
    return QString();
}

} // namespace

std::optional<int> resolve_ports(const flash_request &request,
                                 const QList<port_lookup::entry> &present, job_list *jobs)
{
    QHash<QString, QString> seen; // identity -> as given
    for (const QString &given : request.ports) {
        auto job = std::make_unique<flash_job>();
        job->given = given;
        job->port = given;
        if (net_address::is_network(given)) {
            net_address::address where;
            QString why;
            if (!net_address::parse(given, &where, &why))
                return console::usage_error(request.command, QStringLiteral("bad --port %1: %2").arg(given, why));
        }
        if (port_lookup::is_usb(given)) {
            const QString wrong = resolve_usb(*job, present);
            if (!wrong.isEmpty())
                return console::usage_error(request.command, wrong);
        }
        // Two names for one device (a link and its target, "ttyS0" and "/dev/ttyS0", a second
        // device node) would have two workers fight over one port. An unmatched usb: name
        // has no port to compare; the name itself stands for it.
        const QString id = job->refusal.isEmpty() ? port_lookup::identity(job->port) : given.toLower();
        if (seen.contains(id))
            return console::usage_error(request.command,
                                        QStringLiteral("--port %1 and --port %2 are the same port")
                                            .arg(seen.value(id), given));
        seen.insert(id, given);
        jobs->push_back(std::move(job));
    }
    return std::nullopt;
}
