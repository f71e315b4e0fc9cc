// The worker itself, its receive, settle and retry logic included, against a line and a
// bootloader scripted by the fuzz input: each request may be answered, lost, answered late
// (up to three reply waits, with or without the device waiting for it), twice at once or
// again up to three waits later, very late (three to six waits), corrupted, behind a stray
// byte, with an error, or in two pieces.
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
    fuzz::scripted_device device;
    if (options & 2)
        device.base = 0xFFFFF000;
    work worker(settings);
    worker.set_image(image);
    // Real time: each handshake attempt sleeps 20 ms before it reopens the port.
    worker.set_handshake_limit_ms(100);
    fuzz::scripted_port *line = nullptr;
    worker.set_port_factory([&](QObject *parent) {
        line = new fuzz::scripted_port(in, device, parent);
        return line;
    });
    worker.set_clock([&] { return line ? line->now_ms() * 1000 : 0; });
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
        if (settings.auto_start || !line->untellable())
            FUZZ_CHECK(device.flash.left(image.size()) == image);
    }
    return 0;
}
