// korvane-bench: how close korvane-cli comes to a minimal reference client and to what the
// serial line allows, flashing the simulated device with its line paced at real speeds.
// Prints one Markdown table and the lines below it.
#include "child.h"
#include "frame.h"
#include "image.h"
#include "modbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/wait.h>

namespace {

using child::clock_type;
using child::read_lines;

const char restart_descriptor[] = "modbus,1,9,0x4D2E,0x6E3B"; // what korvane-cli sends by default
constexpr quint32 base_address = 0x8000;                     // the simulator's default
constexpr int bits_per_byte = 10;                            // start, 8 data, stop
constexpr double mib = 1024.0 * 1024.0;

// Targets. korvane-cli against the reference client on the same line: what it takes
// beyond the reference is its own. The wire ratios are information: a pseudo-terminal's
// hand-overs cost the reference too.
constexpr double target_against_reference_slow = 0.99; // at 115200 baud
constexpr double target_against_reference_fast = 0.98; // at 921600
constexpr double target_turnaround_median_us = 15;     // one device
constexpr double target_turnaround_p99_us = 100;
constexpr double target_round_trip_ms = 0.2;
constexpr double target_cpu_share = 0.05; // of one core, at 115200
constexpr int parallel_devices = 32;
constexpr double target_parallel_against_reference = 1.05; // 32 devices' slowdown over the reference's
constexpr double target_parallel_turnaround_p90_us = 100;
constexpr double target_idle_watch_share = 0.01; // of one core, watching with nothing plugged in
constexpr double rss_slack_mib = 30;      // peak RSS below 2 x image + this

void note(const QString &text)
{
    std::fprintf(stderr, "korvane-bench: %s\n", qPrintable(text));
    std::fflush(stderr);
}

[[noreturn]] void fail(const QString &text)
{
    note(text);
    std::exit(1);
}

// ---- what crosses the line --------------------------------------------------------------

// Every request of one update and the reply the device gives it, counted in bytes from the
// frames themselves.
struct exchange_count
{
    qint64 bytes = 0;
    int requests = 0;
    int blocks = 0;
    qint64 block_bytes = 0; // write requests and their replies alone
    int handshakes = 0;

    void add(const QByteArray &request, const QByteArray &reply)
    {
        bytes += request.size() + reply.size();
        ++requests;
    }
    void add_block(const QByteArray &request, const QByteArray &reply)
    {
        add(request, reply);
        ++blocks;
        block_bytes += request.size() + reply.size();
    }
};

const QByteArray four_bytes(4, '\0'); // payload size of the handshake and information replies

// What an update of this image sends and gets back when every request is answered at once.
exchange_count expected_exchange(const QByteArray &image)
{
    exchange_count c;
    const modbus::restart_request restart = modbus::parse_descriptor(QLatin1String(restart_descriptor));
    for (const qint32 value : restart.values) {
        const QByteArray r = modbus::write_register_request(restart.address, restart.reg, value);
        c.add(r, r); // the device's answer echoes the request
    }
    c.add(frame::handshake_request(), frame::build(frame::cmd_handshake, four_bytes));
    c.handshakes = 1;
    c.add(frame::info_request(), frame::build(frame::cmd_info, four_bytes));
    const quint32 end = base_address + quint32(image.size());
    c.add(frame::erase_request(base_address, end), frame::build(frame::cmd_erase, {}));
    for (int offset = 0; offset < image.size(); offset += frame::block_size) {
        const int length = std::min(frame::block_size, image.size() - offset);
        c.add_block(frame::write_request(base_address + quint32(offset), image.constData() + offset, length),
                    frame::build(frame::cmd_write, {}));
    }
    c.add(frame::start_request(base_address), frame::build(frame::cmd_start, {}));
    return c;
}

// The same count from what the device says it took in, so that a retried block or a second
// handshake is counted too. `why` names anything the device did not take as a request.
exchange_count observed_exchange(const QStringList &events, QString *why)
{
    exchange_count c;
    const QByteArray data(frame::max_block_data, '\0');
    for (const QString &line : events) {
        const QStringList f = line.split(QLatin1Char(' '));
        bool ok = true;
        if (f.value(0) == QLatin1String("modbus") && f.value(4) == QLatin1String("ok")) {
            const QByteArray r = modbus::write_register_request(f[1].toInt(&ok, 16), f[2].toInt(&ok, 16),
                                                                f[3].toInt(&ok, 16));
            c.add(r, r);
        } else if (f.value(0) == QLatin1String("modbus")) {
            *why = QStringLiteral("the device ignored a request: %1").arg(line);
        } else if (line == QLatin1String("rx handshake")) {
            c.add(frame::handshake_request(), frame::build(frame::cmd_handshake, four_bytes));
            ++c.handshakes;
        } else if (line == QLatin1String("rx info")) {
            c.add(frame::info_request(), frame::build(frame::cmd_info, four_bytes));
        } else if (f.value(0) == QLatin1String("rx") && f.value(1) == QLatin1String("erase")) {
            c.add(frame::erase_request(f.value(2).toUInt(&ok, 16), f.value(3).toUInt(&ok, 16)),
                  frame::build(frame::cmd_erase, {}));
        } else if (f.value(0) == QLatin1String("rx") && f.value(1) == QLatin1String("write")) {
            const int length = f.value(3).toInt(&ok);
            c.add_block(frame::write_request(f.value(2).toUInt(&ok, 16), data.constData(),
                                             qBound(0, length, frame::max_block_data)),
                        frame::build(frame::cmd_write, {}));
        } else if (f.value(0) == QLatin1String("rx") && f.value(1) == QLatin1String("start")) {
            c.add(frame::start_request(f.value(2).toUInt(&ok, 16)), frame::build(frame::cmd_start, {}));
        } else if (f.value(0) == QLatin1String("rx") || f.value(0) == QLatin1String("tx")
                   || f.value(0) == QLatin1String("fault")) {
            *why = QStringLiteral("unexpected device event: %1").arg(line);
        }
    }
    return c;
}

double wire_seconds(qint64 bytes, int baud)
{
    return double(bytes) * bits_per_byte / double(baud);
}

// ---- one flash ----------------------------------------------------------------------------

// korvane-cli, or the reference client that measures what the test rig itself costs.
enum class client { korvane, reference };

struct flash_result
{
    double wall_s = 0;
    double cpu_s = 0;      // every process of the client together
    long max_rss_kib = 0;  // the largest of them
    double transfer_s = 0; // korvane: from the status of the transfer to the next status
    exchange_count wire;   // as the first device saw it
    std::vector<qint64> turnaround_ns; // reply read -> next block's request written, every device
    int repeated_handshakes = 0; // a busy machine's late restart, every device together
    QString problem;       // empty when every device took exactly the image, first try
};

// Milliseconds of the JSON status events that begin and end the transfer, per port.
struct transfer_times
{
    qint64 from = -1;
    qint64 to = -1;
};

QHash<QString, transfer_times> transfers(const QStringList &json_lines)
{
    QHash<QString, transfer_times> t;
    for (const QString &line : json_lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value(QStringLiteral("kind")).toString() != QLatin1String("status"))
            continue;
        transfer_times &port = t[o.value(QStringLiteral("port")).toString()];
        const qint64 ms = qint64(o.value(QStringLiteral("ms")).toDouble());
        if (o.value(QStringLiteral("step")).toString() == QLatin1String("writing the firmware"))
            port.from = ms;
        else if (port.from >= 0 && port.to < 0)
            port.to = ms;
    }
    return t;
}

// The turnaround times of a file both clients write: a line per device, its port and then
// nanoseconds.
std::vector<qint64> turnarounds(const QString &path)
{
    std::vector<qint64> ns;
    for (const QString &line : read_lines(path)) {
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (int i = 1; i < f.size(); ++i)
            ns.push_back(f[i].toLongLong());
    }
    return ns;
}

// How the simulated devices of one flash are set up.
struct line_setup
{
    int baud = 0;       // 0: unpaced (the port is still set to 115200, which a pty ignores)
    int devices = 1;    // flashed at once, by one korvane-cli or by as many reference clients
    int latency_ms = 0; // an adapter's latency timer, 0 for none

    int port_baud() const { return baud ? baud : 115200; }
};

struct image_file
{
    QString path;
    QByteArray image;
};

struct bench_env
{
    QString bin;
    QString dir;
    int pairs = 3;
};

std::vector<std::unique_ptr<child::simulator>> start_devices(const bench_env &env, int run,
                                                             const image_file &f, const line_setup &line)
{
    const qint64 flash_size = qint64(f.image.size() + 0xFFFF) & ~qint64(0xFFFF);
    std::vector<std::unique_ptr<child::simulator>> sims;
    for (int i = 0; i < line.devices; ++i) {
        sims.push_back(std::make_unique<child::simulator>(
            env.bin, env.dir + QStringLiteral("/run%1-dev%2").arg(run).arg(i),
            QStringList{QStringLiteral("--mode"), QStringLiteral("app"), QStringLiteral("--baud"),
                        QString::number(line.baud), QStringLiteral("--latency"),
                        QString::number(line.latency_ms), QStringLiteral("--flash-size"),
                        QString::number(flash_size)}));
        if (!sims.back()->ok())
            fail(QStringLiteral("korvane-devsim did not come up (%1)").arg(sims.back()->link));
    }
    return sims;
}

// What went wrong with one device's flash, or an empty string. A repeated handshake is
// no fault: on a machine busy enough, the application's restart into the bootloader can
// take longer than a handshake waits, for either client; nor is a block sent again.
QString check_device(const child::simulator &s, const QByteArray &image, const exchange_count &expected,
                     exchange_count *seen)
{
    QString why;
    *seen = observed_exchange(s.events(), &why);
    if (!why.isEmpty())
        return why;
    const int repeated = std::max(0, seen->handshakes - expected.handshakes);
    const qint64 handshake_bytes = frame::handshake_request().size() + frame::build(frame::cmd_handshake, four_bytes).size();
    // A block sent again because its reply came far later than the line answers (a hiccup
    // of a busy machine) costs one round trip; the device still holds the image.
    const int resent = std::max(0, seen->blocks - expected.blocks);
    if (seen->requests - repeated - resent != expected.requests
        || (resent == 0 && seen->bytes - repeated * handshake_bytes != expected.bytes))
        return QStringLiteral("%1 requests (%2 bytes) where %3 (%4 bytes) were expected: retries")
            .arg(seen->requests)
            .arg(seen->bytes)
            .arg(expected.requests)
            .arg(expected.bytes);
    if (s.events().filter(QRegularExpression(QStringLiteral("^image ok "))).isEmpty())
        return QStringLiteral("the device did not accept the image");
    if (s.saved() != image)
        return QStringLiteral("the device does not hold the image byte for byte");
    return {};
}

// Starts the client's processes: one korvane-cli for every device, or one reference
// client each. Their output goes to files named after `out`.
std::vector<pid_t> spawn_client(const bench_env &env, client who, const image_file &f, const line_setup &line,
                                const std::vector<std::unique_ptr<child::simulator>> &sims, const QString &out)
{
    const QString times = out + QStringLiteral(".times");
    std::vector<pid_t> pids;
    if (who == client::korvane) {
        QStringList args{QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--baud"),
                         QString::number(line.port_baud())};
        for (const auto &s : sims)
            args << QStringLiteral("--port") << s->link;
        args << f.path;
        qputenv("KORVANE_TURNAROUND_LOG", QFile::encodeName(times));
        pids.push_back(child::spawn(env.bin + QStringLiteral("/korvane-cli"), args, out, out + QStringLiteral(".stderr")));
        qunsetenv("KORVANE_TURNAROUND_LOG");
    } else {
        for (std::size_t i = 0; i < sims.size(); ++i) {
            const QString each = out + QStringLiteral(".%1").arg(i);
            pids.push_back(child::spawn(env.bin + QStringLiteral("/korvane-bench-reference"),
                                        {sims[i]->link, QString::number(line.port_baud()), f.path, times},
                                        each, each + QStringLiteral(".stderr")));
        }
    }
    for (const pid_t pid : pids)
        if (pid < 0)
            fail(QStringLiteral("cannot start a client in %1").arg(env.bin));
    return pids;
}

// Flashes the devices of `line` at once with the client.
flash_result flash(const bench_env &env, const image_file &f, const line_setup &line, client who = client::korvane)
{
    static int runs = 0;
    ++runs;
    const auto sims = start_devices(env, runs, f, line);
    const exchange_count expected = expected_exchange(f.image);
    const double limit_s = 60 + 3 * wire_seconds(expected.bytes, line.baud ? line.baud : 921600)
                           + 0.003 * line.latency_ms * expected.requests;
    const QString out = env.dir + QStringLiteral("/run%1.out").arg(runs);
    const clock_type::time_point started = clock_type::now();
    const std::vector<pid_t> pids = spawn_client(env, who, f, line, sims, out);
    flash_result r;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        const child::ended e = child::wait_for(pids[i], started, limit_s);
        r.wall_s = std::max(r.wall_s, e.wall_s);
        r.cpu_s += e.cpu_seconds();
        r.max_rss_kib = std::max(r.max_rss_kib, long(e.usage.ru_maxrss)); // KiB on Linux
        if (r.problem.isEmpty() && e.killed)
            r.problem = QStringLiteral("a client ran past %1 s and was killed").arg(limit_s);
        else if (r.problem.isEmpty() && e.exit_code() != 0)
            r.problem = QStringLiteral("a client failed (status %1): %2")
                            .arg(e.exit_code())
                            .arg(read_lines(who == client::korvane ? out + QStringLiteral(".stderr")
                                                                   : out + QStringLiteral(".%1.stderr").arg(i))
                                     .join(QLatin1String("; ")));
    }
    for (const auto &s : sims)
        s->stop();
    r.turnaround_ns = turnarounds(out + QStringLiteral(".times"));
    const QHash<QString, transfer_times> t = transfers(read_lines(out));
    for (const auto &s : sims) {
        const transfer_times tt = t.value(s->link);
        if (tt.from >= 0 && tt.to >= tt.from)
            r.transfer_s = std::max(r.transfer_s, double(tt.to - tt.from) / 1000.0);
        exchange_count seen;
        const QString why = check_device(*s, f.image, expected, &seen);
        if (s == sims.front())
            r.wire = seen;
        r.repeated_handshakes += std::max(0, seen.handshakes - expected.handshakes);
        if (r.problem.isEmpty())
            r.problem = why;
    }
    return r;
}

// The fastest of `runs` flashes: other load on the machine only ever makes a run slower.
template <typename Flash> flash_result fastest(int runs, Flash flash_once)
{
    flash_result best;
    for (int i = 0; i < runs; ++i) {
        const flash_result r = flash_once();
        if (!r.problem.isEmpty())
            return r;
        if (i == 0 || r.wall_s < best.wall_s)
            best = r;
    }
    return best;
}

flash_result best_of(const bench_env &env, const image_file &f, const line_setup &line, int runs)
{
    return fastest(runs, [&] { return flash(env, f, line); });
}

// korvane-cli and the reference client on the same line, one after the other, `pairs`
// times; the order alternates, so that a drift in the machine's load favours neither.
struct paired_runs
{
    std::vector<flash_result> korvane;
    std::vector<flash_result> reference;
    QString problem;

    // Handshakes repeated, which make a run slower than the line alone: a note under the
    // table, since a median of three shrugs one off.
    QString repeats(const QString &what) const
    {
        const auto count = [](const std::vector<flash_result> &runs) {
            int n = 0;
            for (const flash_result &r : runs)
                n += r.repeated_handshakes;
            return n;
        };
        if (count(korvane) + count(reference) == 0)
            return {};
        return QStringLiteral("%1: handshakes repeated (the restart took longer than a handshake's wait): "
                              "korvane-cli %2, reference %3")
            .arg(what)
            .arg(count(korvane))
            .arg(count(reference));
    }
};

paired_runs pairs_of(const bench_env &env, const image_file &f, const line_setup &line)
{
    paired_runs p;
    for (int i = 0; i < env.pairs && p.problem.isEmpty(); ++i) {
        for (const client who : i % 2 ? std::vector<client>{client::reference, client::korvane}
                                       : std::vector<client>{client::korvane, client::reference}) {
            const flash_result r = flash(env, f, line, who);
            if (!r.problem.isEmpty())
                p.problem = QStringLiteral("%1: %2").arg(who == client::korvane ? "korvane-cli" : "reference", r.problem);
            (who == client::korvane ? p.korvane : p.reference).push_back(r);
        }
    }
    return p;
}

// ---- figures ------------------------------------------------------------------------------

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <typename Figure>
double median_of(const std::vector<flash_result> &runs, Figure figure)
{
    std::vector<double> v;
    for (const flash_result &r : runs)
        v.push_back(figure(r));
    return median(v);
}

// Median, 90th and 99th percentile of every turnaround of the runs, in microseconds.
struct spread
{
    double p50 = 0;
    double p90 = 0;
    double p99 = 0;
    bool known = false;
};

spread turnaround_spread(const std::vector<flash_result> &runs)
{
    std::vector<qint64> all;
    for (const flash_result &r : runs)
        all.insert(all.end(), r.turnaround_ns.begin(), r.turnaround_ns.end());
    spread s;
    if (all.empty())
        return s;
    std::sort(all.begin(), all.end());
    const auto at = [&all](double q) {
        const std::size_t i = std::size_t(std::ceil(q * double(all.size()))) - 1;
        return double(all[std::min(i, all.size() - 1)]) / 1000.0;
    };
    s.p50 = at(0.50);
    s.p90 = at(0.90);
    s.p99 = at(0.99);
    s.known = true;
    return s;
}

QString spread_text(const spread &s)
{
    if (!s.known)
        return QStringLiteral("-");
    return QStringLiteral("%1 / %2 / %3 µs").arg(s.p50, 0, 'f', 1).arg(s.p90, 0, 'f', 1).arg(s.p99, 0, 'f', 1);
}

// ---- the report ---------------------------------------------------------------------------

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("**missed**");
}

QString size_name(qint64 bytes)
{
    return bytes >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024))
                                : QStringLiteral("%1 KiB").arg(bytes / 1024);
}

QString load_average()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

// Firmware of `size` bytes, the same on every run.
QString make_firmware(const QString &dir, qint64 size)
{
    QByteArray bytes(int(size), '\0');
    quint32 x = 0x2545F491u;
    for (char &b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = char(x >> 24);
    }
    const QString path = dir + QStringLiteral("/firmware-%1.bin").arg(size);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write %1").arg(path));
    return path;
}

// What the benchmark found: table rows, lines under the table, and what went wrong.
struct report
{
    QStringList rows;
    QStringList lines;
    QStringList problems;
    bool all_met = true;

    void missed(const QString &what, const QString &problem)
    {
        problems << QStringLiteral("%1: %2").arg(what, problem);
        all_met = false;
    }
};


// Paced flashes, one device: the table's rows, korvane-cli against the reference client.
void paced_row(const bench_env &env, const image_file &f, int baud, report &out)
{
    const QString what = QStringLiteral("%1 at %2 baud").arg(size_name(f.image.size())).arg(baud);
    note(QStringLiteral("flashing %1, %2 pairs of korvane-cli and the reference").arg(what).arg(env.pairs));
    const paired_runs p = pairs_of(env, f, {baud, 1, 0});
    if (!p.problem.isEmpty()) {
        out.missed(what, p.problem);
        return;
    }
    const QString repeats = p.repeats(what);
    if (!repeats.isEmpty())
        out.lines << repeats;
    const exchange_count &wire = p.korvane.front().wire;
    const double limit = wire_seconds(wire.bytes, baud);
    std::vector<double> against;
    for (std::size_t i = 0; i < p.korvane.size(); ++i)
        against.push_back(p.reference[i].wall_s / p.korvane[i].wall_s);
    const double ratio = median(against);
    const double wall = median_of(p.korvane, [](const flash_result &r) { return r.wall_s; });
    const double reference_wall = median_of(p.reference, [](const flash_result &r) { return r.wall_s; });
    const double cpu = median_of(p.korvane, [](const flash_result &r) { return r.cpu_s; });
    const double rss_mib = median_of(p.korvane, [](const flash_result &r) { return double(r.max_rss_kib); }) / 1024.0;
    const spread t = turnaround_spread(p.korvane);
    const spread reference_t = turnaround_spread(p.reference);
    const double image_mib = double(f.image.size()) / mib;
    const double target = baud == 115200 ? target_against_reference_slow : target_against_reference_fast;
    const bool ratio_ok = ratio >= target;
    const bool turnaround_ok = t.known && t.p50 <= target_turnaround_median_us && t.p99 <= target_turnaround_p99_us;
    const bool cpu_ok = baud != 115200 || cpu / wall < target_cpu_share;
    const bool rss_ok = rss_mib < 2 * image_mib + rss_slack_mib;
    out.all_met = out.all_met && ratio_ok && turnaround_ok && cpu_ok && rss_ok;
    out.rows << QStringLiteral("| %1 | %2 | %3 | %4 s | %5 s | %6 s | %7 (>= %8: %9) | %10 | %11 | %12 (%13) | %14 | %15 s | %16 % (%17) | %18 MiB (%19) |")
                    .arg(baud)
                    .arg(size_name(f.image.size()))
                    .arg(wire.blocks)
                    .arg(limit, 0, 'f', 2)
                    .arg(wall, 0, 'f', 2)
                    .arg(reference_wall, 0, 'f', 2)
                    .arg(ratio, 0, 'f', 3)
                    .arg(target, 0, 'f', 2)
                    .arg(verdict(ratio_ok))
                    .arg(limit / wall, 0, 'f', 3)
                    .arg(limit / reference_wall, 0, 'f', 3)
                    .arg(spread_text(t), verdict(turnaround_ok))
                    .arg(spread_text(reference_t))
                    .arg(cpu / image_mib, 0, 'f', 2)
                    .arg(cpu / wall * 100, 0, 'f', 1)
                    .arg(baud == 115200 ? verdict(cpu_ok) : QStringLiteral("-"))
                    .arg(rss_mib, 0, 'f', 1)
                    .arg(verdict(rss_ok));
}

void paced_rows(const bench_env &env, const QHash<qint64, image_file> &images, bool quick, report &out)
{
    for (const int baud : {115200, 921600}) {
        for (const qint64 size : {64 * 1024, 256 * 1024, 1024 * 1024}) {
            if (baud == 115200 && (size == 1024 * 1024 || (quick && size > 64 * 1024)))
                continue;
            if (quick && size == 1024 * 1024)
                continue;
            paced_row(env, images[size], baud, out);
        }
    }
}
// Unpaced: the software's own cost per block, from the transfer's length in the flasher's
// own time stamps.
void unpaced_line(const bench_env &env, const image_file &f, report &out)
{
    note(QStringLiteral("flashing %1 unpaced").arg(size_name(f.image.size())));
    const flash_result r = best_of(env, f, {0, 1, 0}, env.pairs);
    if (!r.problem.isEmpty() || r.wire.blocks == 0) {
        out.missed(QStringLiteral("unpaced"), r.problem);
        return;
    }
    const double per_block_ms = r.transfer_s * 1000.0 / r.wire.blocks;
    const bool ok = per_block_ms < target_round_trip_ms;
    out.all_met = out.all_met && ok;
    out.lines << QStringLiteral("Unpaced round trip per block: %1 ms (%2 blocks of %3 in %4 s; "
                                "whole flash %5 s; target < %6 ms: %7)")
                     .arg(per_block_ms, 0, 'f', 3)
                     .arg(r.wire.blocks)
                     .arg(size_name(f.image.size()))
                     .arg(r.transfer_s, 0, 'f', 3)
                     .arg(r.wall_s, 0, 'f', 2)
                     .arg(target_round_trip_ms)
                     .arg(verdict(ok));
}


// Many devices at once against one, for korvane-cli (one process for them all) and for the
// reference client (a process each), in the same run: the simulators alone load the
// machine, so korvane's own share is how much more it slows down than the reference does.
void parallel_line(const bench_env &env, const image_file &f, int devices, report &out)
{
    const int baud = 115200;
    note(QStringLiteral("flashing %1 at %2 baud to one device, then to %3 at once, %4 pairs of "
                        "korvane-cli and the reference")
             .arg(size_name(f.image.size()))
             .arg(baud)
             .arg(devices)
             .arg(env.pairs));
    const paired_runs one = pairs_of(env, f, {baud, 1, 0});
    const paired_runs many = pairs_of(env, f, {baud, devices, 0});
    if (!one.problem.isEmpty() || !many.problem.isEmpty()) {
        out.missed(QStringLiteral("%1 devices").arg(devices), one.problem.isEmpty() ? many.problem : one.problem);
        return;
    }
    for (const auto &each : {std::make_pair(1, &one), std::make_pair(devices, &many)}) {
        const QString note = each.second->repeats(QStringLiteral("%1 at once").arg(each.first));
        if (!note.isEmpty())
            out.lines << note;
    }
    const auto wall = [](const flash_result &r) { return r.wall_s; };
    const auto cpu = [](const flash_result &r) { return r.cpu_s; };
    const double slowdown = median_of(many.korvane, wall) / median_of(one.korvane, wall);
    const double reference_slowdown = median_of(many.reference, wall) / median_of(one.reference, wall);
    const double against = slowdown / reference_slowdown;
    const spread t = turnaround_spread(many.korvane);
    const bool ok = against <= target_parallel_against_reference;
    const bool turnaround_ok = t.known && t.p90 <= target_parallel_turnaround_p90_us;
    out.all_met = out.all_met && ok && turnaround_ok;
    out.lines << QStringLiteral("%1 devices at once (%2 at %3 baud, medians of %4 pairs): korvane-cli %5 s "
                                "against %6 s for one, %7 x; %1 reference clients %8 s against %9 s, %10 x; "
                                "korvane's slowdown %11 x the reference's (target <= %12: %13). korvane-cli's "
                                "turnaround %14 (p90 target <= %15 µs: %16). CPU: korvane-cli %17 s, the %1 "
                                "reference clients %18 s together; korvane-cli's peak RSS %19 MiB")
                     .arg(devices)
                     .arg(size_name(f.image.size()))
                     .arg(baud)
                     .arg(env.pairs)
                     .arg(median_of(many.korvane, wall), 0, 'f', 2)
                     .arg(median_of(one.korvane, wall), 0, 'f', 2)
                     .arg(slowdown, 0, 'f', 3)
                     .arg(median_of(many.reference, wall), 0, 'f', 2)
                     .arg(median_of(one.reference, wall), 0, 'f', 2)
                     .arg(reference_slowdown, 0, 'f', 3)
                     .arg(against, 0, 'f', 3)
                     .arg(target_parallel_against_reference, 0, 'f', 2)
                     .arg(verdict(ok))
                     .arg(spread_text(t))
                     .arg(target_parallel_turnaround_p90_us, 0, 'f', 0)
                     .arg(verdict(turnaround_ok))
                     .arg(median_of(many.korvane, cpu), 0, 'f', 2)
                     .arg(median_of(many.reference, cpu), 0, 'f', 2)
                     .arg(median_of(many.korvane, [](const flash_result &r) { return double(r.max_rss_kib); }) / 1024.0, 0, 'f', 1);
}
// What a USB adapter's latency timer costs a stop-and-wait transfer: the common 16 ms
// against the 1 ms of its driver's low-latency mode, which korvane asks for on Linux.
void latency_line(const bench_env &env, const image_file &f, report &out)
{
    const int baud = 115200;
    QStringList parts;
    for (const int latency : {16, 1}) {
        note(QStringLiteral("flashing %1 at %2 baud behind a %3 ms latency timer")
                 .arg(size_name(f.image.size()))
                 .arg(baud)
                 .arg(latency));
        const flash_result r = best_of(env, f, {baud, 1, latency}, 1);
        if (!r.problem.isEmpty() || r.wire.blocks == 0) {
            out.missed(QStringLiteral("latency %1 ms").arg(latency), r.problem);
            return;
        }
        parts << QStringLiteral("%1 ms: %2 s, %3 ms per block (%4 of the wire's limit)")
                     .arg(latency)
                     .arg(r.wall_s, 0, 'f', 2)
                     .arg(r.transfer_s * 1000.0 / r.wire.blocks, 0, 'f', 2)
                     .arg(wire_seconds(r.wire.bytes, baud) / r.wall_s, 0, 'f', 3);
    }
    out.lines << QStringLiteral("Adapter latency timer, %1 at %2 baud: %3")
                     .arg(size_name(f.image.size()))
                     .arg(baud)
                     .arg(parts.join(QLatin1String("; ")));
}

// What watching for devices costs while none is plugged in: korvane-cli's CPU over a
// stretch of idle scans, stopped by Ctrl-C as a technician would at the end of a shift.
void watch_idle_line(const bench_env &env, const image_file &f, report &out)
{
    const double idle_s = 10;
    note(QStringLiteral("watching for devices for %1 s with none plugged in").arg(idle_s));
    const QString pattern = env.dir + QStringLiteral("/idle/ttyNONE*");
    QDir().mkpath(env.dir + QStringLiteral("/idle"));
    const QString log = env.dir + QStringLiteral("/watch-idle");
    const clock_type::time_point started = clock_type::now();
    const pid_t pid = child::spawn(env.bin + QStringLiteral("/korvane-cli"),
                                   {QStringLiteral("flash"), QStringLiteral("--watch"), pattern, f.path},
                                   log, log + QStringLiteral(".stderr"));
    if (pid < 0)
        fail(QStringLiteral("cannot start %1/korvane-cli").arg(env.bin));
    QThread::msleep(ulong(idle_s * 1000));
    ::kill(pid, SIGINT);
    const child::ended e = child::wait_for(pid, started, 30);
    if (e.killed || e.exit_code() != 0) {
        out.missed(QStringLiteral("idle watch"), QStringLiteral("korvane-cli ended with status %1").arg(e.exit_code()));
        return;
    }
    const double share = e.cpu_seconds() / e.wall_s;
    const bool ok = share <= target_idle_watch_share;
    out.all_met = out.all_met && ok;
    out.lines << QStringLiteral("Watching for devices, none plugged in: %1 s of CPU in %2 s, %3 % of a core "
                                "(start-up included); target <= %4 %: %5")
                     .arg(e.cpu_seconds(), 0, 'f', 3)
                     .arg(e.wall_s, 0, 'f', 1)
                     .arg(share * 100, 0, 'f', 2)
                     .arg(target_idle_watch_share * 100, 0, 'f', 0)
                     .arg(verdict(ok));
}

// ---- a network line -----------------------------------------------------------------------

// ser2net in front of a simulated device's port, on the loopback; stopped with the object.
class ser2net_server
{
public:
    ser2net_server(const bench_env &env, const QString &device, const QString &accepter, bool chardelay)
    {
        QTcpServer probe; // the system's pick of a port nobody listens on
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        probe.close();
        const QString config = env.dir + QStringLiteral("/ser2net-%1.yaml").arg(port);
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly))
            return;
        f.write(QStringLiteral("connection: &bench\n  accepter: %1,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,115200n81,local\n"
                               "  options:\n    chardelay: %4\n")
                    .arg(accepter)
                    .arg(port)
                    .arg(device, chardelay ? QStringLiteral("true") : QStringLiteral("false"))
                    .toUtf8());
        f.close();
        pid = child::spawn(program, {QStringLiteral("-n"), QStringLiteral("-c"), config},
                           config + QStringLiteral(".out"), config + QStringLiteral(".out"));
        for (int i = 0; i < 250 && pid > 0 && !listening(); ++i)
            QThread::msleep(20);
    }
    ~ser2net_server()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            child::wait_for(pid, clock_type::now(), 10);
        }
    }
    ser2net_server(const ser2net_server &) = delete;
    ser2net_server &operator=(const ser2net_server &) = delete;

    static constexpr const char *program = "/usr/sbin/ser2net";
    bool ok() const { return pid > 0 && listening(); }
    quint16 port = 0;

private:
    // Read from the system's table: a connection to see would open the device.
    bool listening() const
    {
        const QByteArray table = child::read_file(QStringLiteral("/proc/net/tcp"));
        return table.contains(QStringLiteral(":%1 00000000:0000 0A").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1());
    }
    pid_t pid = -1;
};

// How ser2net is set up for one measurement, and the port name that reaches it.
struct ser2net_way
{
    const char *scheme;   // rfc2217 or socket
    const char *accepter; // ser2net's accepter before its address
    bool chardelay;
    const char *name;
};

// One flash of one paced device through ser2net.
flash_result network_flash(const bench_env &env, const image_file &f, const ser2net_way &way)
{
    static int runs = 0;
    const int baud = 115200;
    const auto sims = start_devices(env, 1000 + ++runs, f, {baud, 1, 0});
    const ser2net_server server(env, sims.front()->link, QLatin1String(way.accepter), way.chardelay);
    const QString scheme = QLatin1String(way.scheme);
    flash_result r;
    if (!server.ok()) {
        r.problem = QStringLiteral("ser2net did not come up");
        return r;
    }
    const QString port = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(server.port);
    const QString out = env.dir + QStringLiteral("/net%1.json").arg(runs);
    const clock_type::time_point started = clock_type::now();
    const pid_t pid = child::spawn(env.bin + QStringLiteral("/korvane-cli"),
                                   {QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--port"),
                                    port, f.path},
                                   out, out + QStringLiteral(".stderr"));
    const child::ended e = child::wait_for(pid, started, 60 + 3 * wire_seconds(f.image.size(), baud));
    sims.front()->stop();
    r.wall_s = e.wall_s;
    if (e.killed || e.exit_code() != 0) {
        r.problem = QStringLiteral("korvane-cli through %1 ended with status %2: %3")
                        .arg(port)
                        .arg(e.exit_code())
                        .arg(read_lines(out + QStringLiteral(".stderr")).join(QLatin1String("; ")));
        return r;
    }
    const transfer_times t = transfers(read_lines(out)).value(port);
    r.transfer_s = t.to >= t.from && t.from >= 0 ? double(t.to - t.from) / 1000.0 : 0;
    r.problem = check_device(*sims.front(), f.image, expected_exchange(f.image), &r.wire);
    return r;
}

flash_result best_network_flash(const bench_env &env, const image_file &f, const ser2net_way &way)
{
    return fastest(env.pairs, [&] { return network_flash(env, f, way); });
}

// What the network adds per block: the same paced device on its own pseudo-terminal and
// through ser2net on this machine, by RFC 2217 and raw TCP with ser2net's defaults, then
// without its chardelay: alone (ser2net then sends a reply byte by byte, each held by
// Nagle's algorithm for the last one's acknowledgement) and with TCP_NODELAY on its side.
void network_line(const bench_env &env, const image_file &f, report &out)
{
    if (!QFile::exists(QLatin1String(ser2net_server::program))) {
        out.lines << QStringLiteral("Network line: skipped, ser2net is not installed (scripts/setup.sh installs it)");
        return;
    }
    note(QStringLiteral("flashing %1 at 115200 baud locally and through ser2net").arg(size_name(f.image.size())));
    const flash_result local = best_of(env, f, {115200, 1, 0}, env.pairs);
    if (!local.problem.isEmpty() || local.wire.blocks == 0) {
        out.missed(QStringLiteral("network line, local reference"), local.problem);
        return;
    }
    const double local_ms = local.transfer_s * 1000.0 / local.wire.blocks;
    QStringList parts{QStringLiteral("local pseudo-terminal %1 s, %2 ms per block")
                          .arg(local.wall_s, 0, 'f', 2)
                          .arg(local_ms, 0, 'f', 2)};
    const ser2net_way ways[] = {
        {"rfc2217", "telnet(rfc2217),tcp", true, "RFC 2217"},
        {"socket", "tcp", true, "raw TCP"},
        {"rfc2217", "telnet(rfc2217),tcp", false, "RFC 2217 with chardelay: false"},
        {"rfc2217", "telnet(rfc2217),tcp(nodelay)", false, "RFC 2217 with tcp(nodelay) and chardelay: false"},
    };
    for (const ser2net_way &way : ways) {
        const flash_result r = best_network_flash(env, f, way);
        if (!r.problem.isEmpty() || r.wire.blocks == 0) {
            out.missed(QStringLiteral("network line, %1").arg(QLatin1String(way.name)), r.problem);
            return;
        }
        const double per_block = r.transfer_s * 1000.0 / r.wire.blocks;
        parts << QStringLiteral("%1 %2 s, %3 ms per block (+%4 ms)")
                     .arg(QLatin1String(way.name))
                     .arg(r.wall_s, 0, 'f', 2)
                     .arg(per_block, 0, 'f', 2)
                     .arg(per_block - local_ms, 0, 'f', 2);
    }
    out.lines << QStringLiteral("Network line, %1 at 115200 baud through ser2net on 127.0.0.1: %2")
                     .arg(size_name(f.image.size()))
                     .arg(parts.join(QLatin1String("; ")));
}

// Milliseconds of each step's status event of one device, by the step's English name.
QHash<QString, qint64> step_times(const QStringList &json_lines)
{
    QHash<QString, qint64> at;
    for (const QString &line : json_lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (o.value(QStringLiteral("kind")).toString() == QLatin1String("status"))
            at.insert(o.value(QStringLiteral("step")).toString(), qint64(o.value(QStringLiteral("ms")).toDouble()));
    }
    return at;
}

// A bootloader that answers only the third handshake, as while the application restarts:
// the information step (from the accepted handshake to the information reply, any wait in
// front of the request included) and the whole update, unpaced.
void handshake_line(const bench_env &env, const image_file &f, report &out)
{
    note(QStringLiteral("flashing %1 to a bootloader that answers the third handshake").arg(size_name(f.image.size())));
    QVector<double> info_ms, wall_s;
    for (int run = 0; run < std::max(3, env.pairs); ++run) {
        child::simulator sim(env.bin, env.dir + QStringLiteral("/third-handshake%1").arg(run),
                             {QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                              QStringLiteral("handshake:none:0:2")});
        if (!sim.ok())
            fail(QStringLiteral("korvane-devsim did not come up (%1)").arg(sim.link));
        const QString json = env.dir + QStringLiteral("/third-handshake%1.json").arg(run);
        const clock_type::time_point started = clock_type::now();
        const pid_t pid = child::spawn(env.bin + QStringLiteral("/korvane-cli"),
                                       {QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--port"),
                                        sim.link, f.path},
                                       json, json + QStringLiteral(".stderr"));
        const child::ended e = child::wait_for(pid, started, 120);
        sim.stop();
        const QHash<QString, qint64> at = step_times(read_lines(json));
        const qint64 info = at.value(QStringLiteral("reading the device information"), -1);
        const qint64 after = at.value(QStringLiteral("reading the firmware file"), -1);
        if (e.killed || e.exit_code() != 0 || info < 0 || after < info) {
            out.missed(QStringLiteral("third handshake"), QStringLiteral("korvane-cli ended with status %1").arg(e.exit_code()));
            return;
        }
        info_ms << double(after - info);
        wall_s << e.wall_s;
    }
    std::sort(info_ms.begin(), info_ms.end());
    std::sort(wall_s.begin(), wall_s.end());
    out.lines << QStringLiteral("Bootloader found at the third handshake, %1 unpaced: information step %2 ms "
                                "(from the accepted handshake to the reply), whole update %3 s; medians of %4")
                     .arg(size_name(f.image.size()))
                     .arg(info_ms.at(info_ms.size() / 2), 0, 'f', 0)
                     .arg(wall_s.at(wall_s.size() / 2), 0, 'f', 2)
                     .arg(info_ms.size());
}

void print(const report &out, const QString &load_before, int pairs)
{
    std::printf("| baud | image | blocks | wire limit | korvane | reference | korvane vs reference (target) | "
                "korvane / wire | reference / wire | korvane's turnaround, median / p90 / p99 (<= %.0f / - / %.0f µs) | "
                "reference's turnaround | CPU per MiB | CPU of a core | peak RSS (< 2 x image + 30 MiB) |\n",
                target_turnaround_median_us, target_turnaround_p99_us);
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const QString &row : out.rows)
        std::printf("%s\n", row.toUtf8().constData());
    for (const QString &line : out.lines)
        std::printf("\n%s\n", line.toUtf8().constData());
    std::printf("\n%d CPUs, load average %s before and %s after; medians of %d pairs, the order "
                "alternating; the unpaced line the fastest of %d runs.\n",
                QThread::idealThreadCount(), qPrintable(load_before), qPrintable(load_average()), pairs, pairs);
    for (const QString &p : out.problems)
        std::printf("\nPROBLEM: %s\n", p.toUtf8().constData());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption quick(QStringLiteral("quick"),
                                   QStringLiteral("Leave out 256 KiB at 115200 baud and 1 MiB, "
                                                  "and use 64 KiB instead of 256 KiB unpaced."));
    const QCommandLineOption pairs(QStringLiteral("pairs"),
                                   QStringLiteral("Run korvane-cli and the reference client N times each "
                                                  "per measurement, interleaved (default 3)."),
                                   QStringLiteral("N"), QStringLiteral("3"));
    const QString bin_dir = child::parse_command_line(
        parser,
        QStringLiteral("Flashes the simulated device at paced line speeds with korvane-cli and with a "
                       "minimal reference client, interleaved, and prints how close korvane-cli comes "
                       "to the reference and to the wire's own limit, its turnaround per block, its "
                       "CPU time and memory, the unpaced round trip per block, 32 devices at once "
                       "against one beside 32 reference clients, what an adapter's latency timer "
                       "costs, what watching for devices costs with none plugged in, and what a "
                       "network line through ser2net adds per block."),
        {quick, pairs});
    const bool is_quick = parser.isSet(quick);
    QTemporaryDir temporary;
    if (!temporary.isValid())
        fail(QStringLiteral("cannot make a temporary directory"));
    const bench_env env{bin_dir, temporary.path(), std::max(3, parser.value(pairs).toInt())};
    std::signal(SIGPIPE, SIG_IGN);

    const QString load_before = load_average();
    QHash<qint64, image_file> images;
    for (const qint64 size : {64 * 1024, 256 * 1024, 1024 * 1024}) {
        const QString path = make_firmware(env.dir, size);
        const image::loaded loaded = image::load(path);
        if (!loaded.ok())
            fail(QStringLiteral("the firmware of %1 bytes does not load").arg(size));
        images.insert(size, {path, loaded.bytes});
    }

    report out;
    paced_rows(env, images, is_quick, out);
    unpaced_line(env, images[is_quick ? 64 * 1024 : 256 * 1024], out);
    parallel_line(env, images[64 * 1024], parallel_devices, out);
    latency_line(env, images[64 * 1024], out);
    watch_idle_line(env, images[64 * 1024], out);
    handshake_line(env, images[64 * 1024], out);
    network_line(env, images[64 * 1024], out);
    print(out, load_before, env.pairs);
    return out.problems.isEmpty() ? (out.all_met ? 0 : 3) : 1;
}
