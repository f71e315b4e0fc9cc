#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

// Firmware files as build tools write them, known by their content and turned into the
// one byte array a raw binary of the same firmware would hold: the data placed at its
// addresses relative to the lowest one, gaps filled with 0xFF (erased flash).
namespace firmware_file {

enum class format {
    binary,    // none of the others: the file's bytes are the image
    intel_hex, // ":" records
    srecord,   // Motorola "S0".."S9" records
    elf,       // "\x7fELF"
};

// The names firmware files go by, for a file dialog's filter.
constexpr const char *dialog_patterns =
    "*.bin *.qvb *.hex *.ihex *.ihx *.s19 *.s28 *.s37 *.srec *.mot *.elf *.axf";

// "binary", "Intel HEX", "S-record", "ELF".
const char *name(format f);

// By content only. `head` is the start of the file (the first few KiB are enough).
format detect(const QByteArray &head);

// True when the bytes could be text: no control characters but tab, line ends and form
// feed, and no NUL. Firmware images always hold some.
bool looks_like_text(const QByteArray &bytes);
// What such text seems to be, for the message that refuses it: "HTML or XML", "JSON",
// "TI-TXT", or "text".
QString text_kind(const QByteArray &bytes);

// A run of consecutive bytes in the converted image.
struct segment
{
    quint32 address = 0;
    quint32 size = 0;
};

struct converted
{
    QString error;      // empty when the conversion worked; names the line or header
    quint32 address = 0; // the lowest address: the image's first byte
    QByteArray bytes;   // from `address` to the last data byte, gaps 0xFF
    QVector<segment> segments; // merged runs, in address order
    // An S-record file without a termination record (S7, S8, S9), whole by its S5 or S6
    // count of every data record: srec_cat writes such files for data without a start
    // address.
    bool unterminated = false;

    bool ok() const { return error.isEmpty(); }
};

// Conversions refuse an image that would span more than `limit` bytes.
converted from_intel_hex(const QByteArray &text, qint64 limit);
converted from_srecord(const QByteArray &text, qint64 limit);
converted from_elf(const QByteArray &file, qint64 limit);
converted convert(format f, const QByteArray &file, qint64 limit);

} // namespace firmware_file
