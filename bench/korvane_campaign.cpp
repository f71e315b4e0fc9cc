// korvane-campaign: many updates with korvane-cli against korvane-devsim, each with a random
// mix of the ways devices misbehave (late replies around every wait, lost requests,
// duplicated, corrupted and stray replies, error replies, hang-ups) at random positions.
// After each update it checks that exit status 0 came only from a device that holds the
// derived image (and did not refuse to start it), that nothing hung and that no signal
// ended the flasher. Seeded: the same seed gives the same updates.
#include "child.h"
#include "frame.h"
#include "image.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// A hung flash is killed after this long: the handshake gives up after 30 s, and the
// faults of one update cost well under a minute of reply waits.
constexpr double hang_limit_s = 150;

// One update's circumstances.
struct plan
{
    QString firmware;
    QByteArray image;
    QStringList faults;
    QStringList devsim_args;
    bool auto_start = true;
    bool echo = false; // korvane-cli is told that the line echoes (--echo)
    // Every fault only delays or repeats replies, by at most two reply waits: such a device
    // answers every request, and its update must succeed.
    bool answers_in_time = true;
};

// How it went.
struct verdict
{
    int exit = -1;       // korvane-cli's exit status, -1 when it did not exit
    int signal = 0;      // the signal that ended it
    bool hung = false;
    QString false_success; // why an exit 0 was not the truth; empty when it was
    QString false_confirmation; // blocks confirmed that the device does not hold
    QString problem;       // anything else that should not happen
    bool failed_in_time = false; // a device that always answered in time was not updated
    QMap<QString, int> faults_applied;
};

int reply_wait_ms(const QString &command)
{
    if (command == QLatin1String("erase"))
        return frame::erase_wait_ms;
    if (command == QLatin1String("write"))
        return frame::write_wait_ms;
    return frame::info_wait_ms;
}

// A bootloader checks its image before it answers the start: up to 2 s.
constexpr int start_check_ms = 2000;

bool in_time(const QString &kind, int arg_ms, int wait_ms)
{
    if (kind == QLatin1String("late") || kind == QLatin1String("delay"))
        return arg_ms <= 2 * wait_ms;
    return kind == QLatin1String("twice") || kind == QLatin1String("split");
}

// A fault the update gets through in bounded time. Late replies come between half a reply
// wait and two and a half, around the wait on both sides of it; some later than three
// waits, past every deadline for an owed reply. A start reply comes up to 2 s late, as a
// bootloader that checks a large image answers. Copies of a reply come at once or up to
// 500 ms after it.
QString random_fault(QRandomGenerator &rng, int blocks, bool prompt, bool *answers_in_time)
{
    static const QStringList all = {"late", "late", "later", "delay", "none", "none", "twice",
                                    "corrupt", "stray", "extra", "error", "split", "wrongcmd", "hangup"};
    static const QStringList in_time_kinds = {"late", "delay", "twice", "split"};
    const QStringList &kinds = prompt ? in_time_kinds : all;
    static const QStringList commands = {"handshake", "info", "erase", "write", "write", "write",
                                         "start", "modbus", "any"};
    QString kind = kinds.at(rng.bounded(kinds.size()));
    const QString command = commands.at(rng.bounded(commands.size()));
    const bool many = command == QLatin1String("write") || command == QLatin1String("any");
    const int skip = rng.bounded(many ? blocks + 4 : 3);
    const int count = 1 + rng.bounded(command == QLatin1String("erase") ? 2 : 3);
    const int wait = reply_wait_ms(command);
    int arg = -1;
    if (kind == QLatin1String("later")) {
        kind = QStringLiteral("late");
        arg = 3 * wait + 100 + rng.bounded(2 * wait);
    } else if (kind == QLatin1String("late") || kind == QLatin1String("delay")) {
        arg = command == QLatin1String("start") ? rng.bounded(start_check_ms + 1)
                                                : wait / 2 + rng.bounded((prompt ? 3 : 4) * wait / 2 + 1);
    } else if (kind == QLatin1String("split")) {
        arg = rng.bounded(wait + 1);
    } else if (kind == QLatin1String("twice")) {
        arg = rng.bounded(2) ? 0 : 100 + rng.bounded(401);
    }
    QString fault = QStringLiteral("%1:%2:%3:%4").arg(command, kind).arg(skip).arg(count);
    if (arg >= 0)
        fault += QStringLiteral(":%1").arg(arg);
    const int allowed = command == QLatin1String("start") ? start_check_ms / 2 : wait;
    *answers_in_time = *answers_in_time && in_time(kind, arg, allowed);
    return fault;
}

// A device slow on every request of one command: each reply one to two reply waits late.
QString slow_command(QRandomGenerator &rng)
{
    static const QStringList commands = {"handshake", "info", "erase", "start", "write"};
    const QString command = commands.at(rng.bounded(commands.size()));
    const int wait = command == QLatin1String("start") ? start_check_ms / 2 : reply_wait_ms(command);
    // Every block late would take minutes: the first twenty stand for the rest.
    const int count = command == QLatin1String("write") ? 20 : 0;
    return QStringLiteral("%1:%2:0:%3:%4")
        .arg(command, rng.bounded(2) ? "late" : "delay")
        .arg(count)
        .arg(wait + rng.bounded(wait + 1));
}

// Lines that give back what is sent. One update in eight on a line that echoes everything,
// said to korvane-cli, or now and then not (it must then fail at the handshake); one in
// four with a command's requests echoed, which the device answers all the same; one in
// eight on a device that leaves mid-update while the line loops every request back.
void add_echoes(QRandomGenerator &rng, int blocks, plan *p)
{
    if (rng.bounded(8) == 0) {
        p->devsim_args << "--echo";
        p->echo = rng.bounded(4) != 0;
        p->answers_in_time = p->answers_in_time && p->echo;
    }
    if (rng.bounded(4) == 0) {
        static const QStringList commands = {"modbus", "info", "erase", "write", "write", "start"};
        const QString command = commands.at(rng.bounded(commands.size()));
        const bool many = command == QLatin1String("write");
        p->faults << QStringLiteral("%1:echo:%2:%3").arg(command).arg(rng.bounded(many ? blocks : 2))
                         .arg(rng.bounded(many ? 4 : 2));
    }
    if (rng.bounded(8) == 0) {
        static const QStringList commands = {"write", "write", "start", "any"};
        const QString command = commands.at(rng.bounded(commands.size()));
        const int skip = rng.bounded(command == QLatin1String("start") ? 1 : blocks + 4);
        p->faults << QStringLiteral("%1:gone:%2").arg(command).arg(skip);
        p->answers_in_time = false;
    }
}

QByteArray random_bytes(QRandomGenerator &rng, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

plan make_plan(quint32 seed, int index, const QString &dir, bool never_start)
{
    QRandomGenerator rng(seed * 1000003u + quint32(index));
    plan p;
    const int size = 1025 + rng.bounded(6000);
    const bool container = rng.bounded(3) == 0;
    p.firmware = QStringLiteral("%1/fw-%2.%3").arg(dir).arg(index).arg(container ? "qvb" : "bin");
    const QByteArray plain = random_bytes(rng, size);
    QFile file(p.firmware);
    if (file.open(QIODevice::WriteOnly))
        file.write(container ? image::scramble(plain) : plain);
    p.image = image::derive(plain);
    p.devsim_args << "--mode" << (rng.bounded(2) ? "app" : "boot") << "--base"
                  << (rng.bounded(2) ? "0x8000" : "0x20000");
    const int blocks = (p.image.size() + frame::block_size - 1) / frame::block_size;
    // One update in four on a device that answers every request, only late or twice.
    const bool prompt = rng.bounded(4) == 0;
    const int faults = 1 + rng.bounded(4);
    for (int i = 0; i < faults; ++i)
        p.faults << random_fault(rng, blocks, prompt, &p.answers_in_time);
    if (rng.bounded(8) == 0)
        p.faults.prepend(slow_command(rng));
    // The pattern that shifts replies: a late reply, then a lost request soon after.
    if (!prompt && rng.bounded(3) == 0) {
        const QString command = rng.bounded(2) ? QStringLiteral("write") : QStringLiteral("any");
        const int at = rng.bounded(blocks + 2), wait = reply_wait_ms(command);
        p.faults << QStringLiteral("%1:%2:%3:1:%4").arg(command, rng.bounded(2) ? "late" : "delay")
                        .arg(at).arg(wait + rng.bounded(wait + 1))
                 << QStringLiteral("%1:none:%2:1").arg(command).arg(at + 1 + rng.bounded(3));
        p.answers_in_time = false;
    }
    // A copy of an answered block's reply, then a lost block soon after.
    if (!prompt && rng.bounded(4) == 0) {
        const int at = rng.bounded(blocks);
        p.faults << QStringLiteral("write:twice:%1:1:%2").arg(at).arg(100 + rng.bounded(401))
                 << QStringLiteral("write:none:%1:1").arg(at + 1 + rng.bounded(3));
        p.answers_in_time = false;
    }
    p.auto_start = rng.bounded(6) != 0 && !never_start;
    add_echoes(rng, blocks, &p);
    for (const QString &fault : qAsConst(p.faults))
        p.devsim_args << "--fault" << fault;
    return p;
}

// The start request goes out only once every block was confirmed: a device that then finds
// its image bad holds blocks that were confirmed by replies to other requests.
QString check_confirmations(const QStringList &events)
{
    if (!events.filter(QStringLiteral("image bad")).isEmpty())
        return QStringLiteral("every block confirmed, but the device found the image bad");
    return {};
}

// Exit 0 must mean the device holds the image and, asked to start it, did not refuse it.
QString check_success(const plan &p, const QStringList &events, const QByteArray &held)
{
    if (held != p.image)
        return QStringLiteral("the device holds other bytes (%1 of %2)").arg(held.size()).arg(p.image.size());
    if (!events.filter(QStringLiteral("image bad")).isEmpty())
        return QStringLiteral("the device found the image bad");
    if (p.auto_start && events.filter(QStringLiteral("image ok")).isEmpty())
        return QStringLiteral("the device never accepted the image it was asked to start");
    return {};
}

verdict run_update(const QString &bin, const QString &dir, const plan &p, int index)
{
    const QString link = QStringLiteral("%1/dev-%2").arg(dir).arg(index);
    child::simulator sim(bin, link, p.devsim_args);
    verdict v;
    if (!sim.ok()) {
        v.problem = QStringLiteral("korvane-devsim did not come up");
        return v;
    }
    QStringList args{QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--port"), link};
    if (!p.auto_start)
        args << QStringLiteral("--no-start");
    if (p.echo)
        args << QStringLiteral("--echo");
    args << p.firmware;
    const QString out = link + QStringLiteral(".cli");
    const auto started = child::clock_type::now();
    const pid_t pid = child::spawn(bin + QStringLiteral("/korvane-cli"), args, out, out + QStringLiteral(".err"));
    const child::ended e = child::wait_for(pid, started, hang_limit_s);
    sim.stop();
    v.hung = e.killed;
    v.signal = e.killed ? 0 : e.signal();
    v.exit = e.exit_code();
    const QStringList events = sim.events();
    for (const QString &line : events)
        if (line.startsWith(QLatin1String("fault ")))
            v.faults_applied[line.section(QLatin1Char(' '), 1, 1)]++;
    if (v.exit == 0)
        v.false_success = check_success(p, events, sim.saved());
    else
        v.false_confirmation = check_confirmations(events);
    v.failed_in_time = p.answers_in_time && v.exit != 0;
    // Failures are 1 (the port went away), 3 (a wrong answer) or 4 (no answer in time).
    if (!v.hung && !v.signal && v.exit != 0 && v.exit != 1 && v.exit != 3 && v.exit != 4)
        v.problem = QStringLiteral("exit status %1: %2")
                        .arg(v.exit)
                        .arg(child::read_lines(out + QStringLiteral(".err")).join(QLatin1String("; ")));
    return v;
}

struct tally
{
    QMutex lock;
    int updates = 0;
    int faults = 0;
    int false_successes = 0;
    int false_confirmations = 0;
    int hangs = 0;
    int signal_deaths = 0;
    int in_time = 0;         // updates whose device answered everything within two waits
    int failed_in_time = 0;  // ... and that failed all the same
    QMap<int, int> exits;
    QMap<QString, int> kinds;
    QStringList problems;

    void add(const plan &p, const verdict &v, int index)
    {
        QMutexLocker held(&lock);
        ++updates;
        exits[v.exit]++;
        for (auto it = v.faults_applied.cbegin(); it != v.faults_applied.cend(); ++it) {
            kinds[it.key()] += it.value();
            faults += it.value();
        }
        false_successes += !v.false_success.isEmpty();
        false_confirmations += !v.false_confirmation.isEmpty();
        hangs += v.hung;
        signal_deaths += v.signal != 0;
        in_time += p.answers_in_time;
        failed_in_time += v.failed_in_time;
        const QStringList what = QStringList{v.false_success, v.false_confirmation, v.problem,
                                             v.hung ? QStringLiteral("hung") : QString(),
                                             v.failed_in_time ? QStringLiteral("failed although every reply came within two waits (exit %1)").arg(v.exit) : QString(),
                                             v.signal ? QStringLiteral("signal %1").arg(v.signal) : QString()}
                                     .filter(QRegularExpression(QStringLiteral(".")));
        if (!what.isEmpty())
            problems << QStringLiteral("update %1: %2; korvane-devsim %3%4; %5")
                            .arg(index)
                            .arg(what.join(QLatin1String(", ")), p.devsim_args.join(QLatin1Char(' ')),
                                 p.auto_start ? QString() : QStringLiteral(" (--no-start)"), p.firmware);
    }
};

QString join_counts(const QMap<QString, int> &counts)
{
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    return parts.join(QLatin1String(", "));
}

void report(const tally &t, quint32 seed, int jobs, double seconds)
{
    QMap<QString, int> exits;
    for (auto it = t.exits.cbegin(); it != t.exits.cend(); ++it)
        exits[QStringLiteral("exit %1").arg(it.key())] = it.value();
    QStringList lines{
        QStringLiteral("campaign: seed %1, %2 updates in %3 s, %4 at a time")
            .arg(seed).arg(t.updates).arg(seconds, 0, 'f', 0).arg(jobs),
        QStringLiteral("faults injected: %1 (%2)").arg(t.faults).arg(join_counts(t.kinds)),
        QStringLiteral("results: %1").arg(join_counts(exits)),
        QStringLiteral("false successes: %1").arg(t.false_successes),
        QStringLiteral("false confirmations (caught by the device's image check): %1").arg(t.false_confirmations),
        QStringLiteral("hangs: %1").arg(t.hangs),
        QStringLiteral("failures of a device that answered within two reply waits: %1 of %2")
            .arg(t.failed_in_time).arg(t.in_time),
        QStringLiteral("signal deaths: %1").arg(t.signal_deaths)};
    for (const QString &problem : t.problems)
        lines << QStringLiteral("PROBLEM: ") + problem;
    std::printf("%s\n", qPrintable(lines.join(QLatin1Char('\n'))));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption updates(QStringLiteral("updates"), QStringLiteral("How many (default 40)."),
                                     QStringLiteral("N"), QStringLiteral("40"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Random seed (default 1)."),
                                  QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption jobs(QStringLiteral("jobs"), QStringLiteral("Updates at a time (default 4)."),
                                  QStringLiteral("J"), QStringLiteral("4"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("Begin at update N of the seed's sequence, to replay one (default 0)."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption no_start(QStringLiteral("no-start"),
                                      QStringLiteral("Never start the program (default: one update in six)."));
    const QString bin_dir = child::parse_command_line(
        parser,
        QStringLiteral("Runs many updates with korvane-cli against korvane-devsim under random faults "
                       "and checks that none ends in a false success, a hang or a crash. Exit status 0 "
                       "when none did."),
        {updates, seed, jobs, from, no_start});
    const int first = std::max(0, parser.value(from).toInt());
    const int total = first + std::max(1, parser.value(updates).toInt());
    const quint32 seed_value = parser.value(seed).toUInt();
    const int parallel = std::max(1, parser.value(jobs).toInt());
    QTemporaryDir temporary;
    if (!temporary.isValid())
        return 1;
    std::signal(SIGPIPE, SIG_IGN);

    tally t;
    std::atomic<int> next{first};
    const auto started = child::clock_type::now();
    std::vector<std::thread> workers;
    for (int j = 0; j < parallel; ++j)
        workers.emplace_back([&] {
            for (int i = next++; i < total; i = next++) {
                const plan p = make_plan(seed_value, i, temporary.path(), parser.isSet(no_start));
                t.add(p, run_update(bin_dir, temporary.path(), p, i), i);
            }
        });
    for (std::thread &w : workers)
        w.join();
    report(t, seed_value, parallel,
           std::chrono::duration<double>(child::clock_type::now() - started).count());
    return t.problems.isEmpty() ? 0 : 1;
}
