// Ugly inputs: firmware files that are empty, a byte long, a byte short of a whole word,
// a directory, a FIFO, 2 GiB of holes, unreadable, in a folder with spaces and Chinese in
// its name, a symlink loop; descriptors full of junk, huge numbers or hundreds of fields.
// Through `korvane-cli image`, `korvane-cli flash` and the worker, each gives its clear
// cli_result: a bad file is refused with its reason and, by the command-line tool, before
// the device is touched; nothing reads a huge file into memory.
#include "cli_harness.h"
#include "engine_harness.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using cli_harness::cli;
using cli_harness::cli_result;

// Far below what any of these files would take if it were read whole.
constexpr qint64 peak_limit_kib = 512 * 1024;

// Runs korvane-cli, as the unprivileged user "nobody" when asked (root reads every file).
cli_result run_cli(const QStringList &args, bool as_nobody = false)
{
    if (!as_nobody)
        return cli_harness::run(args);
    return cli_harness::run(QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", cli} + args,
                            QStringLiteral("setpriv"));
}

// The largest resident size any child process reached so far.
qint64 children_peak_kib()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

bool is_root() { return geteuid() == 0; }

QtMessageHandler previous_handler = nullptr;
void drop_debug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg)
        previous_handler(type, context, text);
}

const QString too_short = QStringLiteral("is too short for a firmware image");
const QString not_regular = QStringLiteral("is not a regular file");
const QString too_large = QStringLiteral("is too large for a firmware image");
const QString cannot_open = QStringLiteral("cannot be opened");

} // namespace

class UglyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { qInstallMessageHandler(previous_handler); }

    void image_command_data() { files(); }
    void image_command();
    void flash_command_data() { files(); }
    void flash_command();
    void worker_data() { files(); }
    void worker();

    void descriptors_in_the_worker_data();
    void descriptors_in_the_worker();
    void descriptors_on_the_command_line();

private:
    void files();
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QString unicode_name;
};

void UglyTest::initTestCase()
{
    previous_handler = qInstallMessageHandler(drop_debug);
    QVERIFY(QFileInfo(cli).isExecutable());
    QVERIFY(dir.isValid());
    // Open to every user, so that "nobody" meets only the unreadable file's own mode.
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                  | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                  | QFileDevice::ExeOther | QFileDevice::ReadGroup
                                                  | QFileDevice::ExeGroup));
    const auto write = [this](const QString &name, const QByteArray &bytes) {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QVERIFY(write("empty.bin", {}));
    QVERIFY(write("one.bin", "\x5a"));
    QVERIFY(!make_firmware(path("1027.bin"), 1027).isEmpty());
    QVERIFY(QDir(dir.path()).mkdir("folder.bin"));
    QCOMPARE(mkfifo(QFile::encodeName(path("fifo.bin")).constData(), 0644), 0);
    {
        QFile sparse(path("sparse-2g.bin"));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(2) * 1024 * 1024 * 1024)); // holes: no disk, no time
    }
    QVERIFY(QFile::link(path("loop-b.bin"), path("loop-a.bin")));
    QVERIFY(QFile::link(path("loop-a.bin"), path("loop-b.bin")));
    QVERIFY(!make_firmware(path("unreadable.bin"), 4096).isEmpty());
    QVERIFY(QFile::setPermissions(path("unreadable.bin"), {}));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("目录 with spaces")));
    unicode_name = QStringLiteral("目录 with spaces/固件 v2 升级.qvb");
    QVERIFY(!make_firmware(path(unicode_name), 3000).isEmpty());
}

// name, the reason it is refused (empty: a usable image), and whether it is unreadable.
void UglyTest::files()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("unreadable");
    QTest::newRow("empty") << "empty.bin" << too_short << false;
    QTest::newRow("1 byte") << "one.bin" << too_short << false;
    QTest::newRow("1027 bytes: padded to the smallest image") << "1027.bin" << QString() << false;
    QTest::newRow("directory") << "folder.bin" << not_regular << false;
    QTest::newRow("FIFO") << "fifo.bin" << not_regular << false;
    QTest::newRow("2 GiB sparse") << "sparse-2g.bin" << too_large << false;
    // With the system's reason: a loop of links and a missing file are not a file unreadable.
    QTest::newRow("symlink loop") << "loop-a.bin" << cannot_open + ": Too many levels of symbolic links" << false;
    QTest::newRow("missing") << "missing.bin" << QStringLiteral("does not exist") << false;
    QTest::newRow("unreadable") << "unreadable.bin" << cannot_open + ": Permission denied" << true;
    QTest::newRow("spaces and Chinese in the path") << unicode_name << QString() << false;
}

void UglyTest::image_command()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(bool, unreadable);
    const QString out_path = path("image.out");
    QFile::remove(out_path);
    const cli_result o = run_cli({"image", path(name), "--out", out_path}, unreadable && is_root());
    if (reason.isEmpty()) {
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        QCOMPARE(QFileInfo(out_path).size(), QFileInfo(path(name)).size() <= 1028 ? 1032 : 3004);
    } else {
        QVERIFY2(o.code == 5, qPrintable(o.describe()));
        QVERIFY2(o.err.contains(QStringLiteral("\"%1\" %2").arg(path(name), reason)), qPrintable(o.err));
        QVERIFY(o.out.isEmpty());
        QVERIFY(!QFile::exists(out_path));
        // For a script, the same refusal as one JSON object on stdout and nothing on stderr.
        const cli_result json = run_cli({"image", "--json", path(name)}, unreadable && is_root());
        QVERIFY2(json.code == 5 && json.err.isEmpty(), qPrintable(json.describe()));
        const QJsonObject e = QJsonDocument::fromJson(json.out.toUtf8()).object();
        QCOMPARE(e.value("kind").toString(), QStringLiteral("error"));
        QCOMPARE(e.value("file").toString(), path(name));
        QCOMPARE(e.value("exit").toInt(), 5);
        QVERIFY2(e.value("text").toString().contains(QStringLiteral("\"%1\" %2").arg(path(name), reason)),
                 qPrintable(json.out));
    }
    QVERIFY2(children_peak_kib() < peak_limit_kib, qPrintable(QString::number(children_peak_kib())));
}

// A bad file ends the command before the device hears anything; a good one is flashed.
void UglyTest::flash_command()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(bool, unreadable);
    devsim_process sim({"--mode", "boot"});
    QVERIFY(sim.ok());
    const cli_result o = run_cli({"flash", "--port", sim.port(), path(name)}, unreadable && is_root());
    sim.stop();
    if (reason.isEmpty()) {
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        QVERIFY2(sim.has("image ok"), qPrintable(sim.events().join('\n')));
    } else {
        QVERIFY2(o.code == 5, qPrintable(o.describe()));
        QVERIFY2(o.err.contains(reason) && o.err.contains("the device was not touched"), qPrintable(o.err));
        // Nothing but its start-up line: no request reached the device.
        QVERIFY2(sim.events() == QStringList{"mode boot"}, qPrintable(sim.events().join('\n')));
    }
    QVERIFY2(children_peak_kib() < peak_limit_kib, qPrintable(QString::number(children_peak_kib())));
}

// The worker reads the file once the bootloader has answered; a bad one ends the update
// with -5 before anything is erased.
void UglyTest::worker()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(bool, unreadable);
    if (unreadable && is_root())
        QSKIP("root reads every file; the command-line case covers it as another user");
    devsim_process sim({"--mode", "boot"});
    QVERIFY(sim.ok());
    configure(sim.port(), path(name));
    const update_record rec = run_update({}, [](work &w) { w.set_handshake_limit_ms(3000); }, 60000);
    QVERIFY(rec.ended);
    sim.stop();
    if (reason.isEmpty()) {
        QCOMPARE(rec.results, QVector<int>{0});
        QVERIFY(sim.has("image ok"));
    } else {
        QCOMPARE(rec.results, QVector<int>{-5});
        QCOMPARE(rec.progress.constLast(), 20);
        QVERIFY(sim.has("rx info"));
        QVERIFY2(!sim.has("rx erase") && !sim.has("rx write"), qPrintable(sim.events().join('\n')));
    }
    QVERIFY2(own_status_kib("VmHWM") < peak_limit_kib, qPrintable(QString::number(own_status_kib("VmHWM"))));
}

// ---- descriptors ----------------------------------------------------------------------

void UglyTest::descriptors_in_the_worker_data()
{
    QTest::addColumn<QString>("descriptor");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QVector<int>>("values"); // the value of each request, in order

    QTest::newRow("junk fields: each reads as 0")
        << QStringLiteral("modbus,\x01junk,0x,0X,--5,+7, 12 ,ü,0xZZ") << "boot"
        << QVector<int>{0, 0, 7, 12, 0, 0};
    // Values beyond 32 bits read as 0; the restart values at the end still restart it.
    QTest::newRow("huge numbers")
        << QStringLiteral("modbus,1,9,99999999999999999999,-99999999999,0x7FFFFFFF,0x80000000,"
                          "4294967296,0x4D2E,0x6E3B")
        << "app" << QVector<int>{0, 0, 0xFFFF, 0, 0, 0x4D2E, 0x6E3B};
    QVector<int> many(400, 5);
    many << 0x4D2E << 0x6E3B;
    QTest::newRow("hundreds of fields")
        << QStringLiteral("modbus,1,9,") + QStringLiteral("5,").repeated(400) + QStringLiteral("0x4D2E,0x6E3B")
        << "app" << many;
    QTest::newRow("a megabyte in one field")
        << QStringLiteral("modbus,1,9,") + QString(1 << 20, QLatin1Char('x')) << "boot" << QVector<int>{0};
    QTest::newRow("no value field") << "modbus,1,9" << "boot" << QVector<int>{};
    QTest::newRow("only commas") << "modbus,,," << "boot" << QVector<int>{0};
    QTest::newRow("another kind") << "MODBUS,1,9,1" << "boot" << QVector<int>{};
}

// The restart step never fails: whatever the line says, every request it describes is one
// well-formed frame, and the update goes on.
void UglyTest::descriptors_in_the_worker()
{
    QFETCH(QString, descriptor);
    QFETCH(QString, mode);
    QFETCH(QVector<int>, values);
    const QString fw = path("descriptor.bin");
    QVERIFY(!make_firmware(fw, 2000).isEmpty());
    devsim_process sim({"--mode", mode});
    QVERIFY(sim.ok());
    configure(sim.port(), fw);
    UpdateSettings::instance().product_descriptor = descriptor;

    QList<QByteArray> sent; // read only after the worker's thread has ended
    const update_record rec = run_update({}, [&sent](work &w) {
        w.set_handshake_limit_ms(3000);
        w.set_trace([&sent](work::wire kind, const QByteArray &bytes) {
            if (kind == work::wire::sent && bytes.size() == 8)
                sent << bytes;
        });
    });
    QVERIFY(rec.ended);
    QCOMPARE(rec.results, QVector<int>{0});
    QCOMPARE(sent.size(), values.size());
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY(modbus::crc_ok(sent.at(i)));
        QCOMPARE(quint8(sent.at(i)[1]), modbus::fn_write_register);
        QCOMPARE(quint8(sent.at(i)[4]) << 8 | quint8(sent.at(i)[5]), values.at(i));
    }
    sim.stop();
    if (mode == QLatin1String("app"))
        QCOMPARE(sim.count("modbus 0x01 0x0009"), values.size());
}

void UglyTest::descriptors_on_the_command_line()
{
    const QString fw = path("descriptor-cli.bin");
    QVERIFY(!make_firmware(fw, 2000).isEmpty());
    {
        devsim_process sim({"--mode", "app"});
        QVERIFY(sim.ok());
        const QString many = QStringLiteral("modbus,1,9,") + QStringLiteral("0x1,").repeated(300)
                             + QStringLiteral("0x4D2E,0x6E3B");
        const cli_result o = run_cli({"flash", "--port", sim.port(), "--descriptor", many, fw});
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        sim.stop();
        QCOMPARE(sim.count("modbus 0x01 0x0009"), 302);
        QVERIFY(sim.has("image ok"));
    }
    // What the requests could not carry exactly, or at all, is refused before the device
    // hears a thing: the engine would send the low bits of a number, or nothing.
    devsim_process sim({"--mode", "app"});
    QVERIFY(sim.ok());
    QVERIFY(sim.wait_for("mode"));
    const QStringList untouched = sim.events();
    const QString junk = QStringLiteral("modbus,1,9,") + QString(40000, QChar(0x56FA)) + QStringLiteral(",\t,0x-1");
    for (const QString &wrong : {QStringLiteral("modbus,1,70000,1"), QStringLiteral("modbus,999,9,1"),
                                 QStringLiteral("modbus,1,9,0x10000"), QStringLiteral("modbus,1,9,-1"),
                                 QStringLiteral("garbage"), QStringLiteral("MODBUS,1,9,1"),
                                 QStringLiteral("modbus,1,9"), junk}) {
        const cli_result o = run_cli({"flash", "--port", sim.port(), "--descriptor", wrong, fw});
        QVERIFY2(o.code == 64 && o.err.contains(QLatin1String(modbus::descriptor_forms)), qPrintable(o.describe()));
    }
    QCOMPARE(sim.events(), untouched);
}

QTEST_GUILESS_MAIN(UglyTest)
#include "test_ugly.moc"
