// korvane-devsim: a device with a serial bootloader, simulated on a pseudo-terminal.
#include "device.h"
#include "events.h"
#include "faults.h"
#include "pty_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

using namespace devsim;

namespace {

volatile sig_atomic_t stop_requested = 0;
int wake_pipe[2] = {-1, -1};

void on_signal(int)
{
    const int saved = errno;
    stop_requested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wake_pipe[1], &byte, 1);
    errno = saved;
}

bool install_signals()
{
    if (pipe(wake_pipe) != 0)
        return false;
    for (int fd : wake_pipe)
        if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &action, nullptr) != 0)
            return false;
    signal(SIGPIPE, SIG_IGN); // a reader of stdout that went away must not kill the device
    return true;
}

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "korvane-devsim: %s\n", qPrintable(message));
    std::exit(code);
}

// Decimal, or hexadecimal after "0x".
bool parse_number(const QString &text, quint64 max, quint64 *out)
{
    bool ok = false;
    const quint64 v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? text.mid(2).toULongLong(&ok, 16)
                          : text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *out = v;
    return true;
}

quint64 number_option(const QCommandLineParser &parser, const char *name, quint64 min, quint64 max)
{
    const QString text = parser.value(QLatin1String(name));
    quint64 v = 0;
    if (!parse_number(text, max, &v) || v < min)
        fail(QStringLiteral("--%1: '%2' is not a number from %3 to %4")
                 .arg(QLatin1String(name), text)
                 .arg(min)
                 .arg(max));
    return v;
}

// Largest flash the simulator holds in memory; far beyond any image the tool accepts.
constexpr quint64 max_flash_size = quint64(256) * 1024 * 1024;
constexpr quint64 max_baud = 100000000;

enum class ending { stopped, hung_up, line_lost };

// A timed wake comes tens of microseconds late, more on a busy machine, and every late
// wake would stretch the line. So the simulator asks to be woken this much before a
// deadline and polls for the rest: at 921600 baud a byte is due every 11 us.
constexpr nanos wake_early = 60000;

// How long to wait for the next deadline; nullptr waits for the descriptors alone. In
// nanoseconds, since at line speeds a byte takes well under a millisecond.
const timespec *wait_for(nanos next, nanos now, timespec *storage)
{
    if (next < 0)
        return nullptr;
    const nanos left = next - now > wake_early ? next - now - wake_early : 0;
    storage->tv_sec = time_t(left / 1000000000);
    storage->tv_nsec = long(left % 1000000000);
    return storage;
}

nanos earliest(nanos a, nanos b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// Answers requests until a signal, a hang-up, or a failure of the line itself.
ending serve(pty_line &line, device &dev)
{
    bool replied = false; // a reply went onto the line since the device last looked at its input
    nanos fed_at = 0;     // when the last byte the device has been given finished crossing
    for (;;) {
        if (stop_requested)
            return ending::stopped;
        nanos now = now_ns();
        const QByteArray arrived = line.take_arrived(now, &fed_at);
        if (!arrived.isEmpty())
            dev.feed(arrived, fed_at);
        // Like the single-minded bootloader it is, the device reads its next request only
        // when its reply has gone out.
        if (!line.sending()) {
            if (replied) {
                dev.resume(now);
                replied = false;
            }
            dev.process(now);
            if (dev.hung_up())
                return ending::hung_up;
            // Timed from the request's last byte, not from when this process got round to
            // it: a real device has no scheduler making it late, and a late wake must not
            // count as line time. Bytes that are already due go out at once.
            std::vector<reply_piece> reply = dev.take_reply();
            if (!reply.empty()) {
                line.send(std::move(reply), fed_at);
                replied = true;
            }
        }
        if (!line.flush(now))
            return ending::line_lost;
        if (replied && !line.sending())
            continue; // out already: the next request may be waiting

        // Woken for input only once enough of it can have arrived to make a request: at a
        // slow line speed, waking for every byte would keep a core busy for nothing.
        nanos next = line.next_send();
        if (!line.sending())
            next = earliest(next, earliest(line.next_arrival(dev.wanted(line.on_the_way())),
                                           dev.deadline()));
        pollfd fds[2] = {
            {line.master_fd(), short(POLLIN | (line.waiting_for_room() ? POLLOUT : 0)), 0},
            {wake_pipe[0], POLLIN, 0},
        };
        timespec timeout{};
        if (ppoll(fds, 2, wait_for(next, now_ns(), &timeout), nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return ending::line_lost;
        }
        if (fds[1].revents) {
            char drain[16];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !line.read_available(now_ns()))
            return ending::line_lost;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvane-devsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A device with a serial bootloader on a pseudo-terminal. Prints the port's path, "
        "then one event per line, until SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("mode"), QStringLiteral("Start as the application or the bootloader."),
         QStringLiteral("app|boot"), QStringLiteral("app")},
        {QStringLiteral("link"), QStringLiteral("Also make a symlink to the port at PATH."),
         QStringLiteral("PATH")},
        {QStringLiteral("base"), QStringLiteral("Base address the bootloader reports."),
         QStringLiteral("ADDR"), QStringLiteral("0x8000")},
        {QStringLiteral("flash-size"), QStringLiteral("Bytes of flash from the base address on."),
         QStringLiteral("N"), QStringLiteral("1048576")},
        {QStringLiteral("baud"), QStringLiteral("Emulate this line speed (0: answer at once)."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("save"),
         QStringLiteral("Write the erased range to FILE at program start and at exit."),
         QStringLiteral("FILE")},
        {QStringLiteral("slave-id"), QStringLiteral("Modbus address of the application."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("register"), QStringLiteral("Register whose writes restart the application."),
         QStringLiteral("N"), QStringLiteral("9")},
        {QStringLiteral("restart"), QStringLiteral("Values that restart it, in order."),
         QStringLiteral("VALUES"), QStringLiteral("0x4D2E,0x6E3B")},
        {QStringLiteral("fault"), QStringLiteral("Misbehave: CMD:KIND[:SKIP[:COUNT[:ARG]]]."),
         QStringLiteral("FAULT")},
    });
    // parse() rather than process(): every bad option exits with the same status.
    if (!parser.parse(QCoreApplication::arguments()))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    device_config cfg;
    const QString mode = parser.value(QStringLiteral("mode"));
    if (mode != QLatin1String("app") && mode != QLatin1String("boot"))
        fail(QStringLiteral("--mode: '%1' is neither app nor boot").arg(mode));
    cfg.boot = mode == QLatin1String("boot");
    cfg.base = quint32(number_option(parser, "base", 0, 0xFFFFFFFFu));
    cfg.flash_size = quint32(number_option(parser, "flash-size", 1, max_flash_size));
    if (quint64(cfg.base) + cfg.flash_size > 0x100000000ull)
        fail(QStringLiteral("--base and --flash-size: the flash would run past the 32-bit address space"));
    const quint64 baud = number_option(parser, "baud", 0, max_baud);
    cfg.byte_time = baud ? nanos(10) * 1000000000 / nanos(baud) : 0; // 10 bits per byte
    cfg.slave_id = int(number_option(parser, "slave-id", 0, 255));
    cfg.restart_register = int(number_option(parser, "register", 0, 0xFFFF));
    cfg.restart_values.clear();
    for (const QString &text : parser.value(QStringLiteral("restart")).split(QLatin1Char(','))) {
        quint64 v = 0;
        if (!parse_number(text, 0xFFFF, &v))
            fail(QStringLiteral("--restart: '%1' is not a 16-bit number").arg(text));
        cfg.restart_values.append(quint16(v));
    }
    cfg.save_path = parser.value(QStringLiteral("save"));

    fault_plan plan;
    for (const QString &text : parser.values(QStringLiteral("fault"))) {
        fault f;
        QString why;
        if (!parse_fault(text, &f, &why))
            fail(QStringLiteral("--fault %1: %2").arg(text, why));
        plan.add(f);
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
#ifdef __linux__
    // Paced bytes are due every few microseconds; the default 50 us of timer slack would
    // make every timed wake late by that much, and the line slower than the one it imitates.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    if (!install_signals())
        fail(QStringLiteral("cannot install signal handlers: %1").arg(QString::fromLocal8Bit(std::strerror(errno))), 1);

    pty_line line(cfg.byte_time);
    QString why;
    if (!line.open(&why))
        fail(why, 1);
    const QString link = parser.value(QStringLiteral("link"));
    if (!link.isEmpty() && !line.link(QFile::encodeName(link), &why))
        fail(QStringLiteral("--link %1: %2").arg(link, why), 1);

    event("%s", line.slave_path().constData());
    event("mode %s", cfg.boot ? "boot" : "app");

    device dev(cfg, plan);
    const ending end = serve(line, dev);
    // The line goes first: an unplugged cable is what the tool must see, at once.
    line.close();
    line.unlink_link();
    dev.finish();
    if (end == ending::line_lost) {
        std::fprintf(stderr, "korvane-devsim: the line failed: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
