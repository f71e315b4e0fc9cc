// The protocol's pure pieces, byte for byte, without a port.
#include "devsim_harness.h"
#include "frame.h"
#include "image.h"
#include "modbus.h"
#include "round_trips.h"

#include <QFile>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray bytes(const char *hex_text)
{
    return QByteArray::fromHex(hex_text);
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void request_frames();
    void write_block_limits();
    void completeness();
    void handshake_verdicts();
    void info_verdicts();
    void erase_write_start_verdicts();

    void late_replies_set_aside();
    void crc_tables();
    void restart_frames();
    void numbers_data();
    void numbers();
    void descriptors();

    void descrambling();
    void container_names();
    void derivation();
    void loading_files();
    void firmware_conversions();
    void firmware_refusals_data();
    void firmware_refusals();
    void loading_formats();
};

void ProtocolTest::request_frames()
{
    QCOMPARE(frame::info_request(), bytes("AA050400B3"));
    QCOMPARE(frame::handshake_request(), bytes("AA0901AAAAAAAA035C"));
    QCOMPARE(frame::erase_request(0x8000, 0x8400), bytes("AA0D05000080000000840001C0"));
    QCOMPARE(frame::write_request(0x8000, "\x01\x02\x03\x04", 4), bytes("AA0E06000080000401020304014C"));
    QCOMPARE(frame::start_request(0x8000), bytes("AA0902000080000135"));
    // Sum kept to 16 bits: 251 bytes of 0xFF overflow it.
    const QByteArray big = frame::build(0x06, QByteArray(250, char(0xFF)));
    QCOMPARE(big.size(), 255);
    QCOMPARE(frame::checksum(big.left(253)), quint16((0xAA + 0xFF + 0x06 + 250 * 0xFF) & 0xFFFF));
    QVERIFY(frame::is_complete(big));
}

void ProtocolTest::write_block_limits()
{
    const QByteArray data(300, '\x11');
    QCOMPARE(frame::write_request(0, data.constData(), 245).size(), 255);
    QVERIFY(frame::write_request(0, data.constData(), 246).isEmpty());
    QVERIFY(frame::write_request(0, data.constData(), -1).isEmpty());
    QCOMPARE(frame::write_request(0x12345678, nullptr, 0), frame::build(0x06, bytes("1234567800")));
}

void ProtocolTest::completeness()
{
    const QByteArray good = bytes("AA090155555555" "0208");
    QVERIFY(frame::is_complete(good));
    QVERIFY(!frame::is_complete(good.left(3)));   // first piece of a split reply
    QVERIFY(!frame::is_complete(good.left(8)));
    QVERIFY(!frame::is_complete(bytes("AA0901555555550209"))); // sum off by one
    QVERIFY(!frame::is_complete(bytes("00") + good));          // stray byte in front
    QVERIFY(!frame::is_complete(good + bytes("00")));          // one byte behind
    QVERIFY(!frame::is_complete(QByteArray()));
    QVERIFY(!frame::is_complete(bytes("AA")));
    QVERIFY(!frame::is_complete(bytes("AA02")));
    // A length byte of 0x80 and more is a count, not a sign.
    const QByteArray long_frame = frame::build(0x04, QByteArray(200, '\x01'));
    QCOMPARE(quint8(long_frame[1]), quint8(205));
    QVERIFY(frame::is_complete(long_frame));
    // The shortest frame that passes the test has no command byte of its own.
    QVERIFY(frame::is_complete(bytes("AA0400AE")));
}

void ProtocolTest::handshake_verdicts()
{
    QCOMPARE(frame::judge_handshake({}).status, 0);
    QCOMPARE(frame::judge_handshake(bytes("AA090155555555" "0208")).status, 1);
    // A looped-back request is a valid frame with the wrong complement.
    QCOMPARE(frame::judge_handshake(frame::handshake_request()).status, -3);
    const frame::verdict error = frame::judge_handshake(frame::build(0x81, bytes("55555555")));
    QCOMPARE(error.status, -3);
    QCOMPARE(error.log_line, 0); // the handshake never logs
    QCOMPARE(frame::judge_handshake(frame::build(0x01, bytes("55555554"))).status, -3);
    QByteArray wrong_start = frame::build(0x01, bytes("55555555"));
    wrong_start[0] = char(0xAB);
    QCOMPARE(frame::judge_handshake(wrong_start).status, -3);
    // Too short to hold the four bytes: wrong, and never read past the end.
    QCOMPARE(frame::judge_handshake(frame::build(0x01, {})).status, -3);
    QCOMPARE(frame::judge_handshake(bytes("AA0400AE")).status, -3);
}

void ProtocolTest::info_verdicts()
{
    const frame::verdict ok = frame::judge_info(bytes("AA09040000800001" "37"));
    QCOMPARE(ok.status, 1);
    QCOMPARE(ok.address, quint32(0x8000));
    QCOMPARE(frame::judge_info(frame::build(0x04, bytes("FEDCBA98"))).address, quint32(0xFEDCBA98));

    struct case_t { QByteArray reply; int line; };
    QByteArray wrong_start = frame::build(0x04, bytes("00008000"));
    wrong_start[0] = char(0x55);
    const case_t cases[] = {
        {frame::build(0x84, bytes("00008000")), 239},
        {wrong_start, 243},
        {frame::build(0x05, bytes("00008000")), 247},
        {frame::build(0x04, {}), 251},          // no address in it
        {frame::build(0x04, bytes("00")), 251}, // 6 bytes: offset 6 would be past the end
    };
    for (const case_t &c : cases) {
        const frame::verdict v = frame::judge_info(c.reply);
        QCOMPARE(v.status, -3);
        QCOMPARE(v.log_line, c.line);
        QCOMPARE(v.address, quint32(0));
    }
    QCOMPARE(frame::judge_info({}).status, 0);
    QCOMPARE(frame::judge_info({}).log_line, 0);
}

void ProtocolTest::erase_write_start_verdicts()
{
    QCOMPARE(frame::judge_erase(frame::build(0x05, {})).status, 1);
    QCOMPARE(frame::judge_erase(frame::build(0x85, {})).log_line, 291);
    QByteArray bad_start = frame::build(0x05, {});
    bad_start[0] = 0;
    QCOMPARE(frame::judge_erase(bad_start).log_line, 295);
    QCOMPARE(frame::judge_erase(frame::build(0x06, {})).log_line, 299);
    QCOMPARE(frame::judge_erase({}).status, 0);

    QCOMPARE(frame::judge_write(frame::build(0x06, {})).status, 1);
    const frame::verdict error = frame::judge_write(frame::build(0x86, {}));
    QCOMPARE(error.status, -3);
    QCOMPARE(error.log_line, 387); // an error reply fails the command test, not its own
    QByteArray write_bad_start = frame::build(0x06, {});
    write_bad_start[0] = char(0xAB);
    QCOMPARE(frame::judge_write(write_bad_start).log_line, 383);

    // Only the start's own acceptance confirms the image; a refusal has a log line of its own.
    QCOMPARE(frame::judge_start(frame::build(0x02, {})).status, 1);
    QCOMPARE(frame::judge_start(frame::build(0x06, {})).log_line, 425);
    QCOMPARE(frame::judge_start(bytes("AA0400AE")).status, -3);
    QCOMPARE(frame::judge_start({}).status, 0);
    const frame::verdict refused = frame::judge_start(frame::build(0x82, {}));
    QCOMPARE(refused.status, -3);
    QCOMPARE(refused.log_line, 421);

    // An erase range whose end would pass the 32-bit address space is never requested.
    quint32 end = 0;
    QVERIFY(frame::erase_range(0x8000, 5004, &end));
    QCOMPARE(end, quint32(0x8000 + 5004));
    QVERIFY(frame::erase_range(0xFFFFF000, 0xFFF, &end));
    QCOMPARE(end, 0xFFFFFFFFu);
    QVERIFY(!frame::erase_range(0xFFFFF000, 0x1000, &end)); // the end would read 0
    QVERIFY(!frame::erase_range(0xFFFFF000, 5004, &end));
}

// Replies name no request: a reply to another command is set aside by its code, and a write
// reply by how late it comes.
void ProtocolTest::late_replies_set_aside()
{
    const QByteArray write_ok = frame::build(0x06, {});
    const QByteArray info = frame::build(0x04, bytes("00008000"));
    QVERIFY(frame::is_stale(info, 0x02));
    QVERIFY(frame::is_stale(frame::build(0x86, {}), 0x02)); // an old block's refusal
    QVERIFY(!frame::is_stale(frame::build(0x82, {}), 0x02));
    QVERIFY(!frame::is_stale(frame::build(0x03, {}), 0x02)); // no command of ours: wrong
    QByteArray wrong_start = write_ok;
    wrong_start[0] = char(0xAB);
    QVERIFY(!frame::is_stale(wrong_start, 0x02));

    // Whole stale frames in front go, the answer behind them stays; noise stops the search.
    QByteArray buffer = write_ok + info + frame::build(0x02, {});
    QCOMPARE(frame::drop_stale_front(buffer, 0x02), bytes("0604"));
    QCOMPARE(buffer, frame::build(0x02, {}));
    buffer = QByteArray(1, '\0') + write_ok;
    QVERIFY(frame::drop_stale_front(buffer, 0x02).isEmpty());
    QCOMPARE(buffer.size(), write_ok.size() + 1);

    // Thrown-away bytes: replies found through noise, an unfinished one kept.
    QByteArray pending = write_ok + QByteArray("\x00\xAA\x01", 3) + frame::build(0x86, {}) + info
                         + write_ok.left(3);
    QCOMPARE(frame::take_replies(pending), bytes("060604"));
    QCOMPARE(pending, write_ok.left(3));
    pending += write_ok.mid(3);
    QCOMPARE(frame::take_replies(pending), bytes("06"));
    QVERIFY(pending.isEmpty());

    // A copy of the request just sent is the line's echo: set aside in front of the answer
    // with the stale frames, and never counted as a reply when thrown away.
    const QByteArray start = frame::start_request(0x8000);
    int echoes = 0;
    buffer = start + write_ok + start + frame::build(0x02, {});
    QCOMPARE(frame::drop_stale_front(buffer, 0x02, start, &echoes), bytes("06"));
    QCOMPARE(buffer, frame::build(0x02, {}));
    QCOMPARE(echoes, 2);
    const QByteArray block = frame::write_request(0x8000, "\x01\x02", 2);
    pending = block + write_ok + block;
    QCOMPARE(frame::take_replies(pending, block), bytes("06"));
    // A line that echoes on purpose gives the request back first, in any pieces; anything
    // else where the echo is due spoils the exchange.
    QByteArray due = block, arrived = block.left(4);
    QVERIFY(frame::take_echo(arrived, due));
    QVERIFY(arrived.isEmpty());
    QCOMPARE(due, block.mid(4));
    arrived = block.mid(4) + write_ok;
    QVERIFY(frame::take_echo(arrived, due));
    QVERIFY(due.isEmpty());
    QCOMPARE(arrived, write_ok);
    due = block;
    arrived = write_ok;
    QVERIFY(!frame::take_echo(arrived, due));
    // Frame by frame, what comes ahead of the echo was sent before the request went out.
    int length = 0;
    QCOMPARE(frame::echo_at_front(block.left(3), block, &length), frame::echo_front::waiting);
    QCOMPARE(frame::echo_at_front(block + write_ok, block, &length), frame::echo_front::echo);
    QCOMPARE(length, block.size());
    QCOMPARE(frame::echo_at_front(write_ok + block, block, &length), frame::echo_front::frame);
    QCOMPARE(length, write_ok.size());
    QCOMPARE(frame::echo_at_front(write_ok.left(3), block, &length), frame::echo_front::waiting);
    QByteArray garbled = block;
    garbled[8] = char(garbled[8] ^ 0x10);
    QCOMPARE(frame::echo_at_front(garbled, block, &length), frame::echo_front::spoiled);
    QCOMPARE(frame::echo_at_front(QByteArray(1, '\0') + block, block, &length), frame::echo_front::spoiled);

    // One answer said twice is still one answer; an answer and another are not.
    QCOMPARE(frame::repeats(info + info + info), 3);
    QCOMPARE(frame::repeats(info), 1);
    QCOMPARE(frame::repeats(info + write_ok), 0);
    QCOMPARE(frame::repeats(info + info.left(4)), 0);
    QCOMPARE(frame::repeats(info + QByteArray(1, '\0')), 0);

    // A reply is suspect when it comes more than four times the median and a margin later:
    // 50 ms until eight replies have shown how they spread, then twice their spread (90th
    // percentile less median), from 5 to 50 ms.
    round_trips pace;
    QVERIFY(!pace.suspect(10000000)); // nothing to judge by yet
    for (const qint64 us : {6000, 5000, 90000, 7000})
        pace.add(us);
    QCOMPARE(pace.median(), qint64(7000));
    QVERIFY(!pace.suspect(4 * 7000 + 50000));
    QVERIFY(pace.suspect(4 * 7000 + 50001));
    round_trips steady;
    for (const qint64 us : {100, 120, 110, 130, 100, 105, 115, 600})
        steady.add(us);
    QCOMPARE(steady.margin(), qint64(5000)); // a steady line: a copy 39 ms late is no answer
    QCOMPARE(steady.median(), qint64(115));
    QVERIFY(steady.suspect(4 * 115 + 5001) && !steady.suspect(4 * 115 + 5000));
    steady.add(20115); // one slow reply is no spread
    QCOMPARE(steady.margin(), qint64(5000));
    for (int i = 0; i < 3; ++i) // a busy machine: the margin widens with the spread
        steady.add(20115);
    QCOMPARE(steady.margin(), qint64(2 * (20115 - 130)));
    for (int i = 0; i < 40; ++i) // the line slows down: its pace follows
        pace.add(200000);
    QVERIFY(!pace.suspect(400000));
}

void ProtocolTest::crc_tables()
{
    const quint8 hi[] = {0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41};
    const quint8 lo[] = {0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2};
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(modbus::crc_table_hi[i], hi[i]);
        QCOMPARE(modbus::crc_table_lo[i], lo[i]);
    }
    // The published check value 0x4B37; fuzz_descriptor compares every other input with a
    // bit-by-bit computation.
    QCOMPARE(modbus::crc("123456789"), bytes("374B"));
}

void ProtocolTest::restart_frames()
{
    QCOMPARE(modbus::write_register_request(1, 9, 5), bytes("010600090005" "99CB"));
    QCOMPARE(modbus::write_register_request(1, 9, 0x1F), bytes("01060009001F" "1800"));
    // Only the low 8 bits of the address and the low 16 of register and value are sent.
    QCOMPARE(modbus::write_register_request(300, 0x12345, 0x7654321).left(6), bytes("2C0623454321"));
    const QByteArray first = modbus::write_register_request(1, 9, 0x4D2E);
    QCOMPARE(first.left(6), bytes("010600094D2E"));
    QVERIFY(modbus::crc_ok(first));
    QVERIFY(!modbus::crc_ok(first.left(7) + char(first[7] ^ 1)));
    QVERIFY(!modbus::crc_ok(bytes("01")));
}

void ProtocolTest::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint32>("value");
    QTest::newRow("decimal") << "300" << 300;
    QTest::newRow("hex lower") << "0x1f" << 0x1F;
    QTest::newRow("hex upper prefix") << "0X1F" << 0x1F;
    QTest::newRow("default value") << "0x4D2E" << 0x4D2E;
    QTest::newRow("negative") << "-5" << -5;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("bare prefix") << "0x" << 0;
    QTest::newRow("bad hex") << "0xZZ" << 0;
    QTest::newRow("word") << "nine" << 0;
    QTest::newRow("too big") << "99999999999" << 0;
    QTest::newRow("hex too big") << "0x100000000" << 0;
    QTest::newRow("octal-looking") << "010" << 10;
}

void ProtocolTest::numbers()
{
    QFETCH(QString, text);
    QFETCH(qint32, value);
    const QString before = text;
    QCOMPARE(modbus::parse_number(text), value);
    QCOMPARE(text, before);
}

void ProtocolTest::descriptors()
{
    for (const char *none : {"", "default", "MODBUS,1,9,1", "modbus,1,9", "modbus", " modbus,1,9,1"})
        QVERIFY2(!modbus::parse_descriptor(QString::fromLatin1(none)).send, none);

    const modbus::restart_request standard = modbus::parse_descriptor("modbus,1,9,0x4D2E,0x6E3B");
    QVERIFY(standard.send);
    QCOMPARE(standard.address, 1);
    QCOMPARE(standard.reg, 9);
    QCOMPARE(standard.values, (QVector<qint32>{0x4D2E, 0x6E3B}));

    QCOMPARE(modbus::parse_descriptor("modbus,1,9,,5").values, (QVector<qint32>{0, 5}));
    QCOMPARE(modbus::parse_descriptor("modbus,1,9,5,").values, (QVector<qint32>{5, 0}));
    QCOMPARE(modbus::parse_descriptor("modbus,1,9,").values, (QVector<qint32>{0}));
    QCOMPARE(modbus::parse_descriptor("modbus,,,1").address, 0);
}

void ProtocolTest::descrambling()
{
    QCOMPARE(image::descramble(bytes("000000")), bytes("00FFFE"));
    const QByteArray zeros(256, '\0');
    const QByteArray plain = image::descramble(zeros);
    QCOMPARE(quint8(plain[0]), quint8(0x00));
    QCOMPARE(quint8(plain[1]), quint8(0xFF));
    QCOMPARE(quint8(plain[254]), quint8(0x02));
    QCOMPARE(quint8(plain[255]), quint8(0x00)); // period 255, not 256
    QByteArray random;
    for (int i = 0; i < 5000; ++i)
        random.append(char((i * 7919) >> 3));
    QCOMPARE(image::descramble(image::scramble(random)), random);
    QVERIFY(image::descramble(QByteArray()).isEmpty());
}

void ProtocolTest::container_names()
{
    QVERIFY(image::is_container("x.qvb"));
    QVERIFY(image::is_container("/a b/固件 1.qvb"));
    QVERIFY(image::is_container("FW.QVB")); // as Windows users name files
    QVERIFY(image::is_container("fw.Qvb"));
    QVERIFY(!image::is_container("x.qvb.bin"));
    QVERIFY(!image::is_container("/tmp/dir.qvb/firmware"));
    QVERIFY(image::is_container("qvb")); // the whole name is its last piece
    QVERIFY(!image::is_container("x.bin"));
}

void ProtocolTest::derivation()
{
    QByteArray file(4096, '\0');
    for (int i = 0; i < file.size(); ++i)
        file[i] = char(i);
    const QByteArray img = image::derive(file);
    QCOMPARE(img.size(), 4100);
    QCOMPARE(img.mid(1024, 4), bytes("00100000"));
    QCOMPARE(img.left(1024), file.left(1024));
    QCOMPARE(img.mid(1028, 4096 - 1028), file.mid(1028));
    QCOMPARE(image::read_le32(img, 4096), image::sum32(img.constData(), 4096));

    const QByteArray odd = image::derive(QByteArray(2049, '\x01'));
    QCOMPARE(odd.size(), 2056);
    QCOMPARE(odd.mid(1024, 4), bytes("04080000"));
    QCOMPARE(odd.mid(2049, 3), bytes("000000"));
    // 2049 - 4 ones, the stamp's bytes 0x04 + 0x08, the zero padding.
    QCOMPARE(image::read_le32(odd, 2052), quint32(2045 + 0x04 + 0x08));

    // The sum wraps at 32 bits and covers the stamp, not the trailer.
    QCOMPARE(image::sum32("\xFF\xFF", 2), quint32(0x1FE));

    // No room for the stamp: refused rather than stamped outside the image.
    QVERIFY(image::derive({}).isEmpty());
    QVERIFY(image::derive(QByteArray(1024, '\x01')).isEmpty());
    QCOMPARE(image::derive(QByteArray(1025, '\x01')).size(), 1032); // pads to 1028
    QCOMPARE(image::derive(QByteArray(1028, '\x01')).size(), 1032);
}

void ProtocolTest::loading_files()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto write = [&](const QString &name, const QByteArray &content) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(content), qint64(content.size()));
    };
    QByteArray plain(3000, '\0');
    for (int i = 0; i < plain.size(); ++i)
        plain[i] = char(i * 13);

    write("固件 v1.bin", plain);
    const image::loaded bin = image::load(dir.filePath("固件 v1.bin"));
    QVERIFY(bin.ok());
    QCOMPARE(bin.file_size, qint64(3000));
    QVERIFY(!bin.container);
    QCOMPARE(bin.bytes, image::derive(plain));
    QCOMPARE(bin.padded_size, 3000);
    QCOMPARE(bin.stamped_length, quint32(3000));
    QCOMPARE(bin.sum, image::read_le32(bin.bytes, 3000));

    write("fw.qvb", image::scramble(plain));
    const image::loaded qvb = image::load(dir.filePath("fw.qvb"));
    QVERIFY(qvb.container);
    QCOMPARE(qvb.bytes, bin.bytes);

    write("short.bin", QByteArray(1024, '\x01'));
    write("empty.bin", {});
    QCOMPARE(image::load(dir.filePath("short.bin")).error, image::failure::too_short);
    QCOMPARE(image::load(dir.filePath("empty.bin")).error, image::failure::too_short);
    QCOMPARE(image::load(dir.filePath("missing.bin")).error, image::failure::cannot_open);
    QCOMPARE(image::load(QString()).error, image::failure::cannot_open);
    QCOMPARE(image::load(dir.path()).error, image::failure::not_regular);
    QCOMPARE(image::load(dir.filePath("固件 v1.bin"), 2999).error, image::failure::too_large);

    // A FIFO must be refused without opening it: opening would wait for a writer forever.
    const QByteArray fifo = QFile::encodeName(dir.filePath("pipe.bin"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QCOMPARE(image::load(dir.filePath("pipe.bin")).error, image::failure::not_regular);

    // A file that gives fewer bytes than its size says (sysfs reports 4096 for a few) is
    // refused, not taken as a shorter image.
    if (QFileInfo::exists(QStringLiteral("/sys/kernel/profiling")))
        QCOMPARE(image::load(QStringLiteral("/sys/kernel/profiling")).error, image::failure::short_read);

    // Symlink loops cannot be opened.
    QVERIFY(QFile::link(dir.filePath("loop1"), dir.filePath("loop2")));
    QVERIFY(QFile::link(dir.filePath("loop2"), dir.filePath("loop1")));
    QCOMPARE(image::load(dir.filePath("loop1")).error, image::failure::cannot_open);

    if (::geteuid() != 0) { // root reads anything
        write("locked.bin", plain);
        QFile(dir.filePath("locked.bin")).setPermissions(QFileDevice::Permissions());
        QCOMPARE(image::load(dir.filePath("locked.bin")).error, image::failure::cannot_open);
    }
}

namespace {

// Known bytes in two runs with a gap between them, across a 64 KiB boundary.
const QVector<firmware_piece> &pieces()
{
    static const QVector<firmware_piece> p{{0x0800FF00, seeded_bytes(1300, 7)},
                                           {0x08010800, seeded_bytes(900, 8)}};
    return p;
}

} // namespace

void ProtocolTest::firmware_conversions()
{
    const QByteArray binary = as_binary(pieces());
    const struct { const char *what; QByteArray file; firmware_file::format f; } files[] = {
        {"Intel HEX", to_intel_hex(pieces()), firmware_file::format::intel_hex},
        {"S-record S3", to_srecord(pieces(), 4), firmware_file::format::srecord},
        {"ELF 32 little-endian", to_elf(pieces(), false, false), firmware_file::format::elf},
        {"ELF 64 big-endian", to_elf(pieces(), true, true), firmware_file::format::elf},
    };
    for (const auto &f : files) {
        QCOMPARE(firmware_file::detect(f.file.left(4096)), f.f);
        const firmware_file::converted c = firmware_file::convert(f.f, f.file, image::max_file_size);
        QVERIFY2(c.ok(), qPrintable(QStringLiteral("%1: %2").arg(f.what, c.error)));
        QCOMPARE(c.address, quint32(0x0800FF00));
        QCOMPARE(c.bytes, binary);
        QCOMPARE(c.segments.size(), 2);
        QCOMPARE(c.segments[1].address, quint32(0x08010800));
        QCOMPARE(c.segments[1].size, quint32(900));
    }
    // 16- and 24-bit S-records, segment addresses in HEX, blank lines and a byte order mark.
    const QVector<firmware_piece> low{{0x1000, seeded_bytes(1100, 9)}};
    for (const int width : {2, 3})
        QCOMPARE(firmware_file::from_srecord(to_srecord(low, width), image::max_file_size).bytes, low[0].bytes);
    // As srec_cat writes data without a start address: no termination record, but a count
    // of every data record, so the file is whole.
    const firmware_file::converted counted = firmware_file::from_srecord(to_srecord(pieces(), 4, false), image::max_file_size);
    QVERIFY2(counted.ok(), qPrintable(counted.error));
    QCOMPARE(counted.bytes, binary);
    QVERIFY(counted.unterminated);
    QVERIFY(!firmware_file::from_srecord(to_srecord(pieces(), 4), image::max_file_size).unterminated);
    const QByteArray segmented = "\xEF\xBB\xBF" + hex_record(2, 0, QByteArray::fromHex("0100")) + "\n"
                                 + hex_record(0, 0xFFFE, "abcd") + hex_record(1, 0, {});
    const firmware_file::converted seg = firmware_file::from_intel_hex(segmented, image::max_file_size);
    QCOMPARE(seg.address, quint32(0x1000)); // the offset wraps inside its segment
    QCOMPARE(seg.bytes, QByteArray("cd") + QByteArray(0xFFFE - 2, char(0xFF)) + "ab");
    // Overlapping data with the same bytes is one image.
    const QVector<firmware_piece> twice{{0x100, "same bytes"}, {0x105, "bytes"}};
    QCOMPARE(firmware_file::from_intel_hex(to_intel_hex(twice), image::max_file_size).bytes, QByteArray("same bytes"));
    QCOMPARE(firmware_file::detect(seeded_bytes(64, 3)), firmware_file::format::binary);
    QCOMPARE(firmware_file::detect(":not a record\n"), firmware_file::format::binary);
}

void ProtocolTest::firmware_refusals_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("why");
    const QByteArray end = hex_record(1, 0, {});
    const QByteArray good = hex_record(0, 0x10, "0123456789");
    QByteArray bad_sum = good;
    bad_sum[bad_sum.size() - 3] = bad_sum[bad_sum.size() - 3] == '0' ? '1' : '0';
    QTest::newRow("hex checksum") << good + bad_sum + end << "line 2: checksum";
    QTest::newRow("hex truncated record") << good + good.left(21) + "\n" + end << "line 2: the record is cut short";
    QTest::newRow("hex odd length") << good + good.left(good.size() - 3) + "\n" + end << "line 2: an odd number";
    QTest::newRow("hex no end") << good << "no end-of-file record";
    QTest::newRow("hex after end") << good + end + good << "line 3: a record after the end-of-file";
    QTest::newRow("hex bad type") << hex_record(6, 0, {}) + end << "line 1: unknown record type 0x06";
    QTest::newRow("hex overlap") << good + hex_record(0, 0x12, "x") + end << "line 2: data at 0x00000012 overlaps";
    QTest::newRow("hex past 4 GiB") << hex_record(4, 0, "\xFF\xFF") + hex_record(0, 0xFFF8, "0123456789") + end
                                    << "line 2: data at 0xFFFFFFF8 runs past the 4 GiB";
    QTest::newRow("hex huge gap") << good + hex_record(4, 0, QByteArray("\x04\x00", 2)) + good + end << "over the limit of 64 MiB";
    const QByteArray srec = to_srecord({{0x100, "0123456789"}}, 2);
    QByteArray srec_sum = srec;
    srec_sum[srec.indexOf("\nS1") + 10] = srec_sum[srec.indexOf("\nS1") + 10] == 'A' ? 'B' : 'A';
    QTest::newRow("srec checksum") << srec_sum << "line 2: checksum";
    QTest::newRow("srec truncated") << srec.left(srec.indexOf("\nS5") + 1) << "no termination record";
    // A count that misses the last data record proves nothing: say how to make it whole.
    const QByteArray uncounted = to_srecord({{0x100, "0123456789"}}, 2, false) + s_record(1, 0x10A, 2, "x");
    QTest::newRow("srec data after its count, no termination") << uncounted << "-execution-start-address 0x00000100";
    QTest::newRow("srec lost record") << srec.left(srec.indexOf("S1")) + srec.mid(srec.indexOf("S5"))
                                      << "line 2: the record count says 1";
    QTest::newRow("srec cut record") << srec.left(srec.indexOf("\nS5") - 4) + "\n" + srec.mid(srec.indexOf("S5"))
                                     << "line 2: the record is cut short";
    QByteArray no_load = to_elf({{0x100, "x"}}, false, false);
    no_load[52 + 32] = 4; // the data's program header becomes a note
    QTest::newRow("elf no loadable segment") << no_load << "no loadable segment";
    QTest::newRow("elf cut short") << to_elf({{0x100, QByteArray(100, 'x')}}, true, false).left(200)
                                   << "program header 1: its contents lie past the end";
    QTest::newRow("elf past 4 GiB") << to_elf({{0xFFFFFF00, QByteArray(512, 'x')}}, true, true)
                                    << "program header 1: data at 0xFFFFFF00 runs past the 4 GiB";
    QByteArray object = to_elf({}, false, false).left(52);
    object[44] = 0; // no program headers
    QTest::newRow("elf object file") << object << "no program headers";
}

// Each refused with the line or header it lies in, and no image: none of it reaches a device.
void ProtocolTest::firmware_refusals()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, why);
    const firmware_file::format f = firmware_file::detect(file.left(4096));
    QVERIFY(f != firmware_file::format::binary);
    const firmware_file::converted c = firmware_file::convert(f, file, image::max_file_size);
    QVERIFY2(c.error.contains(why), qPrintable(c.error));
    QVERIFY(c.bytes.isEmpty());
}

// By content, whatever the name; text and a name that promises what the content is not
// are refused unless the caller says the file is binary.
void ProtocolTest::loading_formats()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto write = [&](const QString &name, const QByteArray &content) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? dir.filePath(name) : QString();
    };
    const image::loaded hex = image::load(write("app.txt", to_intel_hex(pieces())));
    QVERIFY(hex.ok());
    QCOMPARE(hex.format, firmware_file::format::intel_hex);
    QCOMPARE(hex.bytes, image::derive(as_binary(pieces())));
    QCOMPARE(hex.address, std::optional<quint32>(0x0800FF00));
    QCOMPARE(image::load(write("APP.QVB", to_elf(pieces(), false, false))).bytes, hex.bytes);

    const QString notes = write("notes.bin", QByteArray("{\"version\": 2}\n").repeated(100));
    const image::loaded text = image::load(notes);
    QCOMPARE(text.error, image::failure::not_firmware);
    QCOMPARE(image::explain(text), QStringLiteral("looks like JSON, not Intel HEX, S-record or ELF firmware"));
    const image::loaded raw = image::load(notes, image::max_file_size, true);
    QVERIFY(raw.ok());
    QVERIFY(!raw.address);

    QByteArray utf16("\xFF\xFE", 2);
    for (const char c : to_intel_hex(pieces()))
        utf16.append(c).append('\0');
    QCOMPARE(image::explain(image::load(write("notepad.bin", utf16))),
             QStringLiteral("looks like UTF-16 text, not Intel HEX, S-record or ELF firmware"));

    const QString misnamed = write("app.elf", seeded_bytes(2000, 5));
    QCOMPARE(image::load(misnamed).error, image::failure::bad_content);
    QVERIFY(image::load(misnamed, image::max_file_size, true).ok());
    const image::loaded broken = image::load(write("app.hex", ":00000001FE\n"));
    QCOMPARE(image::explain(broken), QStringLiteral("cannot be converted: Intel HEX line 1: checksum 0xFE is "
                                                    "wrong, the record's bytes give 0xFF"));
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "test_engine_protocol.moc"
