#include "flash.h"

#include "console.h"

#include <QHash>
#include <QMutex>
#include <QThread>

// A line per block written and one per rejected reply would bury the status lines; they
// are shown only with --verbose. With several devices each line is prefixed with its
// port, found by the thread that wrote it. Warnings always go through.
namespace engine_log {

namespace {

QtMessageHandler default_handler = nullptr;
bool show_debug = false;
// Watching for devices names new threads while others log, so it is guarded.
QMutex ports_lock;
QHash<const QThread *, QString> thread_ports;

QString port_of(const QThread *thread)
{
    const QMutexLocker lock(&ports_lock);
    return thread_ports.value(thread);
}

void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg) {
        default_handler(type, context, text);
        return;
    }
    if (!show_debug)
        return;
    const QString port = port_of(QThread::currentThread());
    if (port.isEmpty())
        default_handler(type, context, text);
    else
        console::err_line(QStringLiteral("%1: %2").arg(port, text));
}

} // namespace

void install(bool verbose, bool single)
{
    show_debug = verbose;
    // The single-port log keeps Qt's own form; several ports need the prefixes.
    if (!verbose || !single)
        default_handler = qInstallMessageHandler(handle);
}

void name_thread(const QThread *thread, const QString &port)
{
    const QMutexLocker lock(&ports_lock);
    thread_ports.insert(thread, port);
}

void forget_threads()
{
    const QMutexLocker lock(&ports_lock);
    thread_ports.clear();
}

} // namespace engine_log
