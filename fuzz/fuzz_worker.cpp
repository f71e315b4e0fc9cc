// The worker itself, its receive, settle and retry logic included, against a line and a
// bootloader scripted by the fuzz input: each request may be answered, lost, answered late
// (up to three reply waits, with or without the device waiting for it), twice at once or
// again up to three waits later, very late (three to six waits), corrupted, behind a stray
// byte, with an error, in two pieces, with its reply lost, echoed by the line, or be the
// first one the device no longer hears while the line loops every request back.
//
// Input: two bytes of image size, one byte of options (bit 0 start the program, bit 1 a
// base address near the top of the 32-bit space), then two bytes per request the device
// takes in: what it does, and how late.
//
// Properties: every update ends with exactly one code; success with a start only when the
// device accepted the start, holds the whole image and every byte was confirmed; success
// without a start never claims a confirmed start, and holds the image whenever every reply
// could be told apart; an image that would pass the top of the address space is never
// erased.
#include "fuzz_check.h"
#include "scripted_line.h"

#include "update_settings.h"
#include "work.h"

#include <QCoreApplication>

namespace {

void drop_debug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Two bytes of the input per request: what becomes of it, and how late.
scripted::fault next_fault(fuzz::reader &in, const QByteArray &written)
{
    using scripted::act;
    struct kind
    {
        act what;
        int waits_first; // reply waits before the delay the second byte picks
    };
    // Late replies come up to three reply waits late, what the worker is built to survive,
    // or three to six.
    static const kind kinds[] = {{act::lose, 0},  {act::late, 0},       {act::blocked, 0}, {act::twice, 0},
                                 {act::corrupt, 0}, {act::stray, 0},    {act::error, 0},   {act::split, 0},
                                 {act::copy, 0},  {act::late, 3},       {act::lose_reply, 0},
                                 {act::echoed, 0}, {act::gone, 0}};
    const quint8 b = in.byte();
    const qint64 arg = in.byte();
    if (b < 128)
        return {};
    const kind &k = kinds[(b - 128) % int(sizeof kinds / sizeof kinds[0])];
    const quint8 command = written.size() > 2 ? quint8(written[2]) : 0;
    const qint64 wait_us = qint64(scripted::reply_wait_ms(command)) * 1000;
    const qint64 delay = k.waits_first * wait_us + wait_us * 3 * arg / 256;
    return {k.what, k.what == act::split ? delay / 2 : delay};
}

QByteArray plain_firmware(int size)
{
    QByteArray plain(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        plain[i] = char(i * 7 + (i >> 8));
    return plain;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_worker";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QtMessageHandler installed = qInstallMessageHandler(drop_debug);
    Q_UNUSED(installed)

    fuzz::reader in(data, size);
    const int plain_size = 1025 + (in.byte() << 8 | in.byte()) % 3000;
    const quint8 options = in.byte();
    const QByteArray image = image::derive(plain_firmware(plain_size));

    UpdateSettings settings;
    settings.port_name = QStringLiteral("scripted");
    settings.auto_start = options & 1;
    scripted::device device;
    if (options & 2)
        device.base = 0xFFFFF000;
    work worker(settings);
    worker.set_image(image);
    worker.set_handshake_limit_ms(1000);
    scripted::port *line = nullptr;
    worker.set_port_factory([&](QObject *parent) {
        line = new scripted::port([&](const QByteArray &written) { return next_fault(in, written); },
                                  device, parent);
        return line;
    });
    worker.set_clock([&] { return line ? line->now_us() : 0; });
    worker.set_pause([&](int ms) {
        if (line)
            line->pass_ms(ms);
    });
    QVector<int> results;
    QObject::connect(&worker, &work::result, [&](int code) { results << code; });
    worker.start();

    FUZZ_CHECK(results.size() == 1);
    const int code = results.constFirst();
    const bool too_high = quint64(device.base) + quint64(image.size()) > 0xFFFFFFFFull;
    FUZZ_CHECK(code == outcome::success || code == outcome::wrong_answer || code == outcome::no_answer
               || (too_high && code == outcome::firmware_unusable));
    if (too_high) {
        FUZZ_CHECK(code == outcome::firmware_unusable);
        FUZZ_CHECK(!device.erased);
    }
    if (code == outcome::success) {
        FUZZ_CHECK(worker.confirmed_bytes() == image.size());
        FUZZ_CHECK(worker.start_confirmed() == settings.auto_start);
        if (settings.auto_start)
            FUZZ_CHECK(device.started_ok);
        if (settings.auto_start || !line->old_replies())
            FUZZ_CHECK(device.flash.left(image.size()) == image);
    }
    return 0;
}
