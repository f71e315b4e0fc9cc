// korvane-cli as scripts use it: the real executable, its output and its exit status,
// against the simulated device where a device is needed.
#include "cli_harness.h"
#include "engine_harness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

using cli_harness::cli;
using cli_harness::cli_result;

cli_result run_cli(const QStringList &args, int limit_ms = 60000, const QStringList &env = {})
{
    return cli_harness::run(args, cli, limit_ms, env);
}

QString sha256_hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The image worked out by hand, independent of the engine: pad to whole words, stamp
// the padded length at 1024, append the byte sum, both little-endian.
QByteArray expected_image(QByteArray plain)
{
    while (plain.size() % 4)
        plain.append('\0');
    const quint32 n = quint32(plain.size());
    for (int i = 0; i < 4; ++i)
        plain[1024 + i] = char(n >> (8 * i));
    quint32 sum = 0;
    for (const char c : qAsConst(plain))
        sum += quint8(c);
    for (int i = 0; i < 4; ++i)
        plain.append(char(sum >> (8 * i)));
    return plain;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString value_of(const QString &out, const QString &key)
{
    const QRegularExpression re(QStringLiteral("^%1:\\s*(.*)$").arg(QRegularExpression::escape(key)),
                                QRegularExpression::MultilineOption);
    return re.match(out).captured(1);
}

const QStringList &sequence = cli_harness::update_steps;

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cli).isExecutable(), qPrintable(cli));
        QVERIFY(QFileInfo(QStringLiteral(KORVANE_BIN_DIR "/korvane-devsim")).isExecutable());
    }

    void usage_errors_data();
    void usage_errors();
    void help_and_version();

    void image_of_plain_and_container_data();
    void image_of_plain_and_container();
    void image_refuses_unusable_files_data();
    void image_refuses_unusable_files();
    void image_out_unwritable();
    void image_out_into_devices_and_fifos();
    void ports_listed_as_the_window_does();

    void flash_updates_the_device_data();
    void flash_updates_the_device();
    void flash_without_start();
    void flash_failures_data();
    void flash_failures();
    void flash_converted_files();
    void stamp_over_data_warns();
    void unusable_firmware_touches_no_device_data();
    void unusable_firmware_touches_no_device();
    void stop_signal_during_handshake_data();
    void stop_signal_during_handshake();

private:
    QTemporaryDir dir;
};

// ---- usage ----------------------------------------------------------------------------

void CliTest::usage_errors_data()
{
    QTest::addColumn<QStringList>("args");
    const QString fw = QStringLiteral("fw.bin");
    const QString p = QStringLiteral("--port=/dev/null");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << QStringList{QStringLiteral("burn")};
    QTest::newRow("unknown option") << QStringList{"flash", p, "--speed=9600", fw};
    QTest::newRow("flash without firmware") << QStringList{"flash", p};
    QTest::newRow("flash with two files") << QStringList{"flash", p, fw, fw};
    QTest::newRow("flash without port") << QStringList{"flash", fw};
    QTest::newRow("flash with empty port") << QStringList{"flash", "--port=", fw};
    QTest::newRow("port without value") << QStringList{"flash", fw, "--port"};
    QTest::newRow("parity X") << QStringList{"flash", p, "--parity=X", fw};
    QTest::newRow("parity empty") << QStringList{"flash", p, "--parity=", fw};
    QTest::newRow("stop bits 0") << QStringList{"flash", p, "--stop-bits=0", fw};
    QTest::newRow("stop bits 1.5") << QStringList{"flash", p, "--stop-bits=1.5", fw};
    QTest::newRow("baud word") << QStringList{"flash", p, "--baud=fast", fw};
    QTest::newRow("baud 0") << QStringList{"flash", p, "--baud=0", fw};
    QTest::newRow("baud negative") << QStringList{"flash", p, "--baud=-9600", fw};
    QTest::newRow("baud beyond 32 bits") << QStringList{"flash", p, "--baud=4294967296", fw};
    QTest::newRow("image without firmware") << QStringList{"image"};
    QTest::newRow("image with two files") << QStringList{"image", fw, fw};
    QTest::newRow("image out empty") << QStringList{"image", "--out=", fw};
    QTest::newRow("ports with argument") << QStringList{"ports", "ttyS0"};
    QTest::newRow("usb name without product") << QStringList{"flash", "--port=usb:0403", fw};
    QTest::newRow("usb name not hex") << QStringList{"flash", "--port=usb:zz:6001", fw};
    QTest::newRow("one port twice") << QStringList{"flash", p, p, fw};
    QTest::newRow("one unmatched usb name twice")
        << QStringList{"flash", "--port=usb:dead:beef", "--port=USB:DEAD:beef", fw};
    QTest::newRow("one empty port of two") << QStringList{"flash", p, "--port=", fw};
    const QString w = QStringLiteral("--watch=/dev/ttyUSB*");
    QTest::newRow("port and watch") << QStringList{"flash", p, w, fw};
    QTest::newRow("count without watch") << QStringList{"flash", p, "--count=2", fw};
    QTest::newRow("count 0") << QStringList{"flash", w, "--count=0", fw};
    QTest::newRow("count word") << QStringList{"flash", w, "--count=all", fw};
    QTest::newRow("watch wildcard in a folder") << QStringList{"flash", "--watch=/dev/tty*/x", fw};
    QTest::newRow("watch usb name not hex") << QStringList{"flash", "--watch=usb:zz:1", fw};
    QTest::newRow("log empty") << QStringList{"flash", p, "--log=", fw};
    // Never opened as local paths, nor a port number read past a blank.
    QTest::newRow("server port after a space") << QStringList{"flash", "--port=rfc2217://127.0.0.1: 7101", fw};
    QTest::newRow("server of another scheme") << QStringList{"flash", "--port=tcp://127.0.0.1:7101", fw};
    QTest::newRow("server with one slash") << QStringList{"flash", "--port=rfc2217:/127.0.0.1:7101", fw};
    QTest::newRow("watch server of another scheme") << QStringList{"flash", "--watch=tcp://box:7101", fw};
    QTest::newRow("quiet and verbose") << QStringList{"flash", p, "-q", "-v", fw};
}

// A usage error never touches a port or a file, says why on stderr, and is 64.
void CliTest::usage_errors()
{
    QFETCH(QStringList, args);
    const cli_result o = run_cli(args);
    QVERIFY2(o.code == 64, qPrintable(o.describe()));
    QVERIFY(o.out.isEmpty());
    QVERIFY(o.err.contains(QLatin1String("--help")));
}

void CliTest::help_and_version()
{
    cli_result o = run_cli({QStringLiteral("--help")});
    QCOMPARE(o.code, 0);
    for (const char *command : {"flash", "image", "ports"})
        QVERIFY2(o.out.contains(QLatin1String(command)), qPrintable(o.out));

    // Both helps show every exit status, the update's own as their codes without the sign.
    const QStringList statuses = {QStringLiteral("    3  the device gave a wrong answer"),
                                  QStringLiteral("    5  the firmware file could not be read"),
                                  QStringLiteral("   64  usage error"),
                                  QStringLiteral("  130  stopped by Ctrl-C or SIGTERM")};
    for (const QString &status : statuses)
        QVERIFY2(o.out.contains(status), qPrintable(o.out));

    o = run_cli({QStringLiteral("flash"), QStringLiteral("--help")});
    QCOMPARE(o.code, 0);
    for (const char *text : {"--port", "--baud", "--parity", "--stop-bits", "--no-start",
                             "--descriptor", "115200", "modbus,1,9,0x4D2E,0x6E3B", "--json",
                             "--trace", "usb:VID:PID[:SERIAL]", "several", "--watch <PATTERN>",
                             "--count <N>", "--log <FILE>", "--accept-silent-start", "-q, --quiet", "-v, --verbose"})
        QVERIFY2(o.out.contains(QLatin1String(text)), text);
    for (const QString &status : statuses)
        QVERIFY2(o.out.contains(status), qPrintable(o.out));

    // -V as flashers have it; -v alone still answers, and says where the version is.
    const QRegularExpression version(QStringLiteral("^korvane-cli \\d+(\\.\\d+)+\n$"));
    for (const char *option : {"--version", "-V", "-v"}) {
        o = run_cli({QLatin1String(option)});
        QCOMPARE(o.code, 0);
        QVERIFY2(version.match(o.out).hasMatch(), qPrintable(o.out));
        QCOMPARE(o.err.contains(QLatin1String("-V")), option == QByteArray("-v"));
    }
    o = run_cli({QStringLiteral("--help")});
    QVERIFY2(o.out.contains(QLatin1String("-V, --version")), qPrintable(o.out));
}

// ---- image ----------------------------------------------------------------------------

void CliTest::image_of_plain_and_container_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("scrambled");
    QTest::newRow("bin, padded by 3") << QStringLiteral("a.bin") << 2049 << false;
    QTest::newRow("bin, smallest image") << QStringLiteral("b.bin") << 1025 << false;
    QTest::newRow("qvb, over one period") << QStringLiteral("c.qvb") << 2049 << true;
    QTest::newRow("QVB is a container too") << QStringLiteral("d.QVB") << 1500 << true;
}

void CliTest::image_of_plain_and_container()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(bool, scrambled);
    const QByteArray plain = pattern(size);
    const QString path = dir.filePath(name);
    QVERIFY(write_file(path, scrambled ? image::scramble(plain) : plain));
    const QByteArray expected = expected_image(plain);
    const int padded = expected.size() - 4;

    const QString out_path = dir.filePath(name + QStringLiteral(".img"));
    const cli_result o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), out_path});
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    QCOMPARE(value_of(o.out, QStringLiteral("file size")), QStringLiteral("%1 bytes").arg(size));
    QCOMPARE(value_of(o.out, QStringLiteral("scrambled")).startsWith(QLatin1String("yes")), scrambled);
    QCOMPARE(value_of(o.out, QStringLiteral("padded length")), QStringLiteral("%1 bytes").arg(padded));
    QCOMPARE(value_of(o.out, QStringLiteral("stamped length")),
             QStringLiteral("%1 (0x%2) at offset 1024")
                 .arg(padded)
                 .arg(QString::number(padded, 16).toUpper().rightJustified(8, QLatin1Char('0'))));
    const quint32 sum = image::read_le32(expected, padded);
    QCOMPARE(value_of(o.out, QStringLiteral("trailing sum")),
             QStringLiteral("0x") + QString::number(sum, 16).toUpper().rightJustified(8, QLatin1Char('0')));
    QCOMPARE(value_of(o.out, QStringLiteral("total size")),
             QStringLiteral("%1 bytes").arg(padded + 4));
    QCOMPARE(value_of(o.out, QStringLiteral("file SHA-256")), sha256_hex(file_bytes(path)));
    QCOMPARE(value_of(o.out, QStringLiteral("image SHA-256")), sha256_hex(expected));
    QCOMPARE(file_bytes(out_path), expected);
}

void CliTest::image_refuses_unusable_files_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    const QString short_file = dir.filePath(QStringLiteral("short.bin"));
    write_file(short_file, pattern(1024));
    const QString empty_file = dir.filePath(QStringLiteral("empty.qvb"));
    write_file(empty_file, {});
    QTest::newRow("1024 bytes") << short_file << QStringLiteral("too short");
    QTest::newRow("empty container") << empty_file << QStringLiteral("too short");
    QTest::newRow("missing") << dir.filePath(QStringLiteral("none.bin"))
                             << QStringLiteral("\"%1\" does not exist").arg(dir.filePath(QStringLiteral("none.bin")));
    QTest::newRow("directory") << dir.path() << QStringLiteral("not a regular file");
}

// Exit 5, like the worker's -5, a reason on stderr, and no --out file.
void CliTest::image_refuses_unusable_files()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    const QString out_path = dir.filePath(QStringLiteral("refused.img"));
    const cli_result o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out=") + out_path});
    QVERIFY2(o.code == 5, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(reason), qPrintable(o.err));
    QVERIFY(o.out.isEmpty());
    QVERIFY(!QFile::exists(out_path));
}

void CliTest::image_out_unwritable()
{
    const QString path = dir.filePath(QStringLiteral("ok.bin"));
    QVERIFY(write_file(path, pattern(4096)));
    const QString out_path = dir.filePath(QStringLiteral("no/such/folder/x.img"));
    const cli_result o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), out_path});
    QVERIFY2(o.code == 73, qPrintable(o.describe()));
    QVERIFY(o.err.contains(out_path));
    QVERIFY(!QFile::exists(out_path));

    // Nor is the firmware replaced by its image, by any of its names, unless --force says so.
    const QString link = dir.filePath(QStringLiteral("ok-link.bin"));
    QVERIFY(QFile::link(path, link));
    for (const QString &same : {path, link}) {
        const cli_result refused = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), same});
        QVERIFY2(refused.code == 64 && refused.err.contains(QLatin1String("--force")), qPrintable(refused.describe()));
    }
    QCOMPARE(file_bytes(path), pattern(4096));
    const cli_result forced = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), path, QStringLiteral("--force")});
    QVERIFY2(forced.code == 0, qPrintable(forced.describe()));
    QCOMPARE(file_bytes(path), expected_image(pattern(4096)));
}

bool is_char_device(const char *path)
{
    struct stat st = {};
    return ::stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

// What cannot be replaced by a file is written in place and every failed write is
// reported: a FIFO passes the image to its reader, /dev/full is full, /dev/null and
// /dev/full stay the devices they are. A directory is refused. Only ever /dev/full and
// /dev/null of /dev are written.
void CliTest::image_out_into_devices_and_fifos()
{
    const QString path = dir.filePath(QStringLiteral("dev.bin"));
    const QByteArray expected = expected_image(pattern(5000));
    QVERIFY(write_file(path, pattern(5000)));
    const QString fifo = dir.filePath(QStringLiteral("image.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QProcess reader;
    reader.start(QStringLiteral("cat"), {fifo});
    QVERIFY(reader.waitForStarted(5000));
    cli_result o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), fifo}, 20000);
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    QVERIFY(reader.waitForFinished(5000));
    QCOMPARE(reader.readAllStandardOutput(), expected);
    QVERIFY(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());

    o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out=/dev/null")});
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    QVERIFY(is_char_device("/dev/null"));

    o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out=/dev/full")});
    QVERIFY2(o.code == 73, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(QLatin1String("No space left on device")), qPrintable(o.err));
    QVERIFY(is_char_device("/dev/full"));

    o = run_cli({QStringLiteral("image"), path, QStringLiteral("--out"), dir.path()});
    QVERIFY2(o.code == 73, qPrintable(o.describe()));
    QVERIFY(QFileInfo(dir.path()).isDir());
}

// The name alone, so it can be pasted into --port; busy in its own column, in Chinese
// under a Chinese locale; the JSON form carries the same ports and the latency timer.
void CliTest::ports_listed_as_the_window_does()
{
    const cli_result j = run_cli({QStringLiteral("ports"), QStringLiteral("--json")});
    QVERIFY2(j.code == 0, qPrintable(j.describe()));
    QStringList names, busy;
    for (const QString &line : j.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QJsonObject port = QJsonDocument::fromJson(line.toUtf8()).object();
        QVERIFY2(port.value(QStringLiteral("busy")).isBool(), qPrintable(line));
        const QJsonValue latency = port.value(QStringLiteral("latency_ms"));
        QVERIFY2(latency.isNull() || latency.isDouble(), qPrintable(line));
        names << port.value(QStringLiteral("name")).toString();
        busy << (port.value(QStringLiteral("busy")).toBool() ? QStringLiteral("yes") : QStringLiteral("no"));
    }

    for (const bool chinese : {false, true}) {
        const cli_result o = run_cli({QStringLiteral("ports")}, 60000,
                                     {chinese ? QStringLiteral("LANG=zh_CN.UTF-8") : QStringLiteral("LANG=C")});
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        QStringList lines = o.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            QVERIFY2(QRegularExpression(QStringLiteral("^NAME +BUSY +VID:PID +SERIAL +LATENCY +MAKER +DESCRIPTION$"))
                         .match(lines.takeFirst())
                         .hasMatch(),
                     qPrintable(o.out));
        const QRegularExpression entry(QStringLiteral(
            "^(\\S+) +(yes|no|忙|闲) +(-|[0-9a-f]{4}:[0-9a-f]{4}) +\\S+ +(-|\\d+ ms) +\\S.* +\\S.*$"));
        QStringList listed, listed_busy;
        for (const QString &line : lines) {
            const QRegularExpressionMatch m = entry.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            listed << m.captured(1);
            const QString word = m.captured(2);
            listed_busy << (word == QStringLiteral("忙") ? QStringLiteral("yes")
                            : word == QStringLiteral("闲") ? QStringLiteral("no") : word);
            QCOMPARE(word.at(0).unicode() > 0x7F, chinese);
        }
        QCOMPARE(listed, names);
        QCOMPARE(listed_busy, busy);
    }
}

// ---- flash against the simulated device -------------------------------------------------

void CliTest::flash_updates_the_device_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("devsim_args");
    QTest::addColumn<QStringList>("cli_args");
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<QStringList>("steps"); // the step lines expected, in order
    QTest::newRow("bin, restarted from the application, steps in English")
        << QStringLiteral("fw.bin") << QStringList{} << QStringList{} << QStringList{}
        << cli_harness::update_steps_english;
    QTest::newRow("qvb, own restart request, 8E2 at 9600, steps in Chinese")
        << QStringLiteral("fw.qvb")
        << QStringList{"--register", "7", "--restart", "0x1234", "--base", "0x10000"}
        << QStringList{"--descriptor", "modbus,1,7,0x1234", "--baud", "9600", "--parity", "e",
                       "--stop-bits", "2"}
        << QStringList{"LANG=C", "LC_MESSAGES=zh_CN.UTF-8"} << sequence;
    QTest::newRow("quiet: the result alone")
        << QStringLiteral("quiet.bin") << QStringList{} << QStringList{"-q"}
        << QStringList{"LANG=zh_CN.UTF-8"} << QStringList{};
    QTest::newRow("a line that echoes, said")
        << QStringLiteral("echo.bin") << QStringList{"--echo"} << QStringList{"-q", "--echo"}
        << QStringList{} << QStringList{};
}

void CliTest::flash_updates_the_device()
{
    QFETCH(QString, name);
    QFETCH(QStringList, devsim_args);
    QFETCH(QStringList, cli_args);
    QFETCH(QStringList, env);
    QFETCH(QStringList, steps);
    const QString firmware = dir.filePath(name);
    QVERIFY(!make_firmware(firmware, 5000, 7).isEmpty());
    const QString saved = dir.filePath(name + QStringLiteral(".saved"));
    const QString derived = dir.filePath(name + QStringLiteral(".img"));
    QCOMPARE(run_cli({QStringLiteral("image"), firmware, QStringLiteral("--out"), derived}).code, 0);

    devsim_process sim(devsim_args + QStringList{QStringLiteral("--save"), saved});
    QVERIFY(sim.ok());
    const cli_result o = run_cli(QStringList{QStringLiteral("flash"), QStringLiteral("--port"), sim.port()}
                                     + cli_args + QStringList{firmware},
                                 60000, env);
    QVERIFY2(o.code == 0, qPrintable(o.describe() + sim.events().join(QLatin1Char('\n'))));
    QVERIFY(sim.wait_for(QStringLiteral("saved ")));
    QVERIFY2(sim.has(QStringLiteral("image ok")), qPrintable(sim.events().join(QLatin1Char('\n'))));
    QCOMPARE(file_bytes(saved), file_bytes(derived));

    // A pipe gets plain lines: every step in order, the progress, no terminal controls.
    QVERIFY(!o.out.contains(QLatin1Char('\r')) && !o.out.contains(QLatin1Char('\x1b')));
    const QStringList lines = o.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (steps.isEmpty()) {
        QCOMPARE(lines, QStringList{QStringLiteral("update complete")});
    } else {
        QStringList shown;
        for (const QString &line : lines)
            if (sequence.contains(line) || cli_harness::update_steps_english.contains(line))
                shown << line;
        QCOMPARE(shown, steps);
        QVERIFY(lines.contains(QStringLiteral("progress 100%")));
    }
    QCOMPARE(lines.constLast(), QStringLiteral("update complete"));
    QVERIFY2(o.err.isEmpty(), qPrintable(o.err));
}

void CliTest::flash_without_start()
{
    const QString firmware = dir.filePath(QStringLiteral("nostart.bin"));
    QVERIFY(!make_firmware(firmware, 3000).isEmpty());
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot")});
    QVERIFY(sim.ok());
    const QString log = dir.filePath(QStringLiteral("nostart.jsonl"));
    const cli_result o = run_cli({QStringLiteral("flash"), QStringLiteral("--no-start"),
                               QStringLiteral("--descriptor="), QStringLiteral("-v"),
                               QStringLiteral("--log"), log, QStringLiteral("--port"), sim.port(), firmware});
    QVERIFY2(o.code == 0, qPrintable(o.describe()));
    // Nothing but the device's acceptance of the start checks the image: written, not
    // verified, and the last line and the shift log say so.
    const QString unverified = QStringLiteral("the image was written but not verified: the program was "
                                              "not started, so the device did not check it");
    QCOMPARE(o.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).constLast(), unverified);
    QFile record(log);
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QJsonObject logged = QJsonDocument::fromJson(record.readAll()).object();
    QCOMPARE(logged.value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
    QCOMPARE(logged.value(QStringLiteral("verified")), QJsonValue(false));
    QCOMPARE(logged.value(QStringLiteral("reason")).toString(), unverified);
    QVERIFY(o.err.contains(QLatin1String("data length =  62\n")));
    // What the driver said to low-latency mode, once: a pseudo-terminal has none.
    QCOMPARE(o.err.count(QStringLiteral("serial port \"%1\": the driver has no low-latency mode").arg(sim.port())), 1);
    QVERIFY(!o.out.contains(cli_harness::update_steps_english.constLast()));
    sim.stop(); // every event is in once it has ended
    QVERIFY(sim.has(QStringLiteral("rx write")));
    QCOMPARE(sim.count(QStringLiteral("rx start")), 0);
    QCOMPARE(sim.count(QStringLiteral("modbus ")), 0);
}

void CliTest::flash_failures_data()
{
    QTest::addColumn<QStringList>("devsim_args");
    QTest::addColumn<bool>("firmware_present");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("explanation");
    QTest::newRow("-3 information rejected")
        << QStringList{"--fault", "info:error"} << true << 3
        << QStringLiteral("while reading the device information: the device gave a wrong answer (code -3)");
    QTest::newRow("-4 erase never answered")
        << QStringList{"--fault", "erase:none:0:4"} << true << 4
        << QStringLiteral("while erasing the old firmware: no answer from the device in time (code -4)");
    QTest::newRow("-4 a block never answered")
        << QStringList{"--fault", "write:none:3:6"} << true << 4
        << QStringLiteral("while writing the firmware: no answer from the device in time (code -4)");
    QTest::newRow("-3 a line that echoes, not said")
        << QStringList{"--echo"} << true << 3
        << QStringLiteral("while looking for the bootloader: the line echoes what korvane sends (an RS-485 "
                          "adapter without echo suppression?): use --echo (code -3)");
    QTest::newRow("-3 erase refused: the image too large")
        << QStringList{"--flash-size", "1024"} << true << 3
        << QStringLiteral("while erasing the old firmware: the device refused the erase from its base address "
                          "0x00008000 to 0x000087D4, for an image of 2004 bytes with its sum: the image may be "
                          "too large for the device (code -3)");
    QTest::newRow("-5 missing file") << QStringList{} << false << 5 << QStringLiteral("does not exist (code -5)");
}

void CliTest::flash_failures()
{
    QFETCH(QStringList, devsim_args);
    QFETCH(bool, firmware_present);
    QFETCH(int, code);
    QFETCH(QString, explanation);
    const QString firmware = dir.filePath(QStringLiteral("fault%1.bin").arg(QTest::currentDataTag()));
    if (firmware_present)
        QVERIFY(!make_firmware(firmware, 2000).isEmpty());
    devsim_process sim(devsim_args);
    QVERIFY(sim.ok());
    const cli_result o = run_cli({QStringLiteral("flash"), QStringLiteral("--port"), sim.port(), firmware});
    QVERIFY2(o.code == code, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(explanation), qPrintable(o.err));
    QVERIFY(!o.out.contains(QLatin1String("update complete")));
    if (!firmware_present) // refused before the device hears anything
        QVERIFY2(sim.events() == QStringList{"mode app"}, qPrintable(sim.events().join('|')));
}

// Intel HEX, S-record and ELF of known bytes: shown with their format, range and segments,
// and the device ends up holding exactly what the raw binary of the same firmware gives.
void CliTest::flash_converted_files()
{
    const QVector<firmware_piece> pieces{{0x8000, pattern(3000)}, {0x8C00, pattern(1100).mid(100)}};
    const QByteArray expected = expected_image(as_binary(pieces));
    const struct { const char *name; QByteArray content; const char *format; bool unterminated; } files[] = {
        {"app.hex", to_intel_hex(pieces), "Intel HEX", false},
        {"app.s19", to_srecord(pieces, 2), "S-record", false},
        {"app-srec_cat.s19", to_srecord(pieces, 2, false), "S-record", true}, // whole by its S5 count
        {"app.elf", to_elf(pieces, false, false), "ELF", false},
    };
    for (const auto &f : files) {
        const QString path = dir.filePath(QLatin1String(f.name));
        QVERIFY(write_file(path, f.content));
        const cli_result info = run_cli({QStringLiteral("image"), QStringLiteral("--json"), path});
        QVERIFY2(info.code == 0, qPrintable(info.describe()));
        const QJsonObject o = QJsonDocument::fromJson(info.out.toUtf8()).object();
        QCOMPARE(o.value(QStringLiteral("format")).toString(), QLatin1String(f.format));
        QCOMPARE(o.value(QStringLiteral("address")).toInt(), 0x8000);
        QCOMPARE(o.value(QStringLiteral("segments")).toArray().size(), 2);
        QCOMPARE(o.value(QStringLiteral("image_sha256")).toString(), sha256_hex(expected));
        QCOMPARE(o.value(QStringLiteral("notes")).toArray().size(), f.unterminated ? 1 : 0);
        if (f.unterminated)
            QVERIFY(o.value(QStringLiteral("notes")).toArray().at(0).toString().contains(
                QLatin1String("no termination record")));

        const QString saved = path + QStringLiteral(".saved");
        devsim_process sim({QStringLiteral("--save"), saved});
        QVERIFY(sim.ok());
        const cli_result flashed = run_cli({QStringLiteral("flash"), QStringLiteral("--json"),
                                            QStringLiteral("--port"), sim.port(), path});
        QVERIFY2(flashed.code == 0, qPrintable(flashed.describe()));
        QVERIFY(flashed.out.contains(QStringLiteral("\"format\":\"%1\"").arg(QLatin1String(f.format))));
        QVERIFY(sim.wait_for(QStringLiteral("saved ")));
        QVERIFY(sim.has(QStringLiteral("image ok")));
        QCOMPARE(file_bytes(saved), expected);
    }
    // Files from binutils (it comes with the compiler) say the same as ours.
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    const QString bin = dir.filePath(QStringLiteral("objcopy.bin"));
    QVERIFY(write_file(bin, pattern(5000)));
    for (const char *format : {"ihex", "srec"}) {
        if (objcopy.isEmpty())
            break;
        const QString out = bin + QLatin1Char('.') + QLatin1String(format);
        QCOMPARE(QProcess::execute(objcopy, {"-I", "binary", "-O", QLatin1String(format), "--change-addresses",
                                             "0x8000", bin, out}), 0);
        const cli_result info = run_cli({QStringLiteral("image"), QStringLiteral("--json"), out});
        const QJsonObject o = QJsonDocument::fromJson(info.out.toUtf8()).object();
        QCOMPARE(o.value(QStringLiteral("address")).toInt(), 0x8000);
        QCOMPARE(o.value(QStringLiteral("image_sha256")).toString(), sha256_hex(expected_image(pattern(5000))));
    }
    const cli_result text = run_cli({QStringLiteral("image"), dir.filePath(QStringLiteral("app.hex"))});
    QVERIFY(text.out.contains(QLatin1String("address range:  0x00008000 to 0x")));
    QVERIFY(text.out.contains(QLatin1String("  0x00008C00  1000 bytes")));
}

// Bytes 1024-1027 that are neither all 00 nor all FF are a firmware's own data, which the
// length stamp overwrites: image and flash name where and what, in the JSON start event
// and the shift log too, and the update goes on. 00s or FFs there are no news.
void CliTest::stamp_over_data_warns()
{
    QByteArray plain = pattern(3000);
    plain.replace(1024, 4, QByteArray::fromHex("DEADBEEF"));
    const QString hex = dir.filePath(QStringLiteral("table.hex"));
    QVERIFY(write_file(hex, to_intel_hex({{0x8000, plain}})));
    const cli_result info = run_cli({QStringLiteral("image"), QStringLiteral("--json"), hex});
    QVERIFY2(info.code == 0, qPrintable(info.describe()));
    const QJsonArray warned = QJsonDocument::fromJson(info.out.toUtf8()).object().value(QStringLiteral("warnings")).toArray();
    QCOMPARE(warned.size(), 1);
    for (const char *what : {"bytes 1024 to 1027", "0x00008400", "DE AD BE EF"})
        QVERIFY2(warned.at(0).toString().contains(QLatin1String(what)), qPrintable(warned.at(0).toString()));

    devsim_process sim;
    QVERIFY(sim.ok());
    const QString log = dir.filePath(QStringLiteral("stamp.jsonl"));
    const cli_result flashed = run_cli({QStringLiteral("flash"), QStringLiteral("--json"), QStringLiteral("--log"),
                                        log, QStringLiteral("--port"), sim.port(), hex});
    QVERIFY2(flashed.code == 0, qPrintable(flashed.describe()));
    const QJsonObject start = QJsonDocument::fromJson(flashed.out.section(QLatin1Char('\n'), 0, 0).toUtf8()).object();
    QCOMPARE(start.value(QStringLiteral("kind")).toString(), QStringLiteral("start"));
    QCOMPARE(start.value(QStringLiteral("warnings")).toArray(), warned);
    QCOMPARE(QJsonDocument::fromJson(file_bytes(log)).object().value(QStringLiteral("warnings")).toArray(), warned);

    // A binary carries no address: the place is the program's start + 0x400.
    const QString bin = dir.filePath(QStringLiteral("table.bin"));
    QVERIFY(write_file(bin, plain));
    const cli_result text = run_cli({QStringLiteral("image"), bin});
    QVERIFY2(value_of(text.out, QStringLiteral("warning")).contains(QLatin1String("the program's start + 0x400")),
             qPrintable(text.out));
    for (const char fill : {'\x00', '\xFF'}) {
        plain.replace(1024, 4, QByteArray(4, fill));
        QVERIFY(write_file(bin, plain));
        const cli_result clean = run_cli({QStringLiteral("image"), QStringLiteral("--json"), bin});
        QCOMPARE(QJsonDocument::fromJson(clean.out.toUtf8()).object().value(QStringLiteral("warnings")),
                 QJsonValue(QJsonArray()));
    }
}

void CliTest::unusable_firmware_touches_no_device_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("explanation");
    const QByteArray hex = to_intel_hex({{0x8000, pattern(2000)}});
    QByteArray bad_sum = hex;
    bad_sum[hex.indexOf("\r\n:10") - 1] = bad_sum[hex.indexOf("\r\n:10") - 1] == '0' ? '1' : '0';
    QTest::newRow("text") << QByteArray("firmware v2, see the release notes\n").repeated(40)
                          << QStringLiteral("looks like text, not Intel HEX, S-record or ELF firmware");
    QTest::newRow("bad checksum") << bad_sum << QStringLiteral("Intel HEX line 1: checksum");
    QTest::newRow("overlap") << to_intel_hex({{0x8000, pattern(2000)}, {0x8010, "x"}})
                             << QStringLiteral("overlaps earlier data with different bytes");
    QTest::newRow("huge gap") << to_srecord({{0x8000, pattern(2000)}, {0x4008000, "x"}}, 4)
                              << QStringLiteral("over the limit of 64 MiB");
    QTest::newRow("base elsewhere") << to_intel_hex({{0x08004000, pattern(2000)}})
                                    << QStringLiteral("firmware built for 0x08004000, the device's program "
                                                      "starts at 0x00008000");
}

// -5 with the reason, and nothing erased: a file that cannot become the device's image is
// refused before the device hears anything, one built for another address before the erase.
void CliTest::unusable_firmware_touches_no_device()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, explanation);
    const QString path = dir.filePath(QStringLiteral("unusable.hex"));
    QVERIFY(write_file(path, content));
    devsim_process sim;
    QVERIFY(sim.ok());
    const cli_result o = run_cli({QStringLiteral("flash"), QStringLiteral("--port"), sim.port(), path});
    QVERIFY2(o.code == 5, qPrintable(o.describe()));
    QVERIFY2(o.err.contains(explanation), qPrintable(o.err));
    sim.stop();
    if (QTest::currentDataTag() == QLatin1String("base elsewhere"))
        QVERIFY2(sim.has(QStringLiteral("rx info")) && !sim.has(QStringLiteral("rx erase")),
                 qPrintable(sim.events().join('|')));
    else
        QVERIFY2(sim.events() == QStringList{"mode app"}, qPrintable(sim.events().join('|')));
}

void CliTest::stop_signal_during_handshake_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

// The handshake alone may retry for 30 s; a stop must end it at the attempt under way.
// Each attempt shows up as one "rx handshake", so a prompt stop leaves only a few.
void CliTest::stop_signal_during_handshake()
{
    QFETCH(int, signal);
    const QString firmware = dir.filePath(QStringLiteral("stop.bin"));
    QVERIFY(!make_firmware(firmware, 2000).isEmpty());
    devsim_process sim({QStringLiteral("--mode"), QStringLiteral("boot"), QStringLiteral("--fault"),
                        QStringLiteral("handshake:none:0:0")});
    QVERIFY(sim.ok());

    QProcess p;
    p.start(cli, {QStringLiteral("flash"), QStringLiteral("--port"), sim.port(), firmware});
    QVERIFY(p.waitForStarted(10000));
    QVERIFY(sim.wait_for(QStringLiteral("rx handshake"), 20000));
    const int before = sim.count(QStringLiteral("rx handshake"));
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(20000));
    sim.stop();
    const int after = sim.count(QStringLiteral("rx handshake"));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QVERIFY2(after - before <= 2, qPrintable(QStringLiteral("%1 more attempts").arg(after - before)));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains(QLatin1String("interrupted while looking for the bootloader")), qPrintable(err));
    QCOMPARE(sim.count(QStringLiteral("rx info")), 0);
}

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
