#pragma once

#include "firmware_file.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// Turning a firmware file into the exact bytes the bootloader erases room for and writes:
// convert Intel HEX, S-record and ELF files, descramble a ".qvb" container, pad to whole
// words, stamp the padded length at offset 1024 and append the 32-bit sum, both
// little-endian.
namespace image {

constexpr int length_offset = 1024;
constexpr int min_padded_size = length_offset + 4; // room for the length stamp
constexpr int trailer_size = 4;
// Binary files larger than this are refused before a byte is read, and converted files
// whose image would be: no device has this much flash.
constexpr qint64 max_file_size = qint64(64) * 1024 * 1024;
// Text and ELF files carry more than their image (record syntax, symbols, debug data).
constexpr int converted_file_factor = 4;

// Byte i carries the image byte plus (i mod 255), modulo 256.
QByteArray descramble(const QByteArray &data);
QByteArray scramble(const QByteArray &data);

// True when the path's last "."-separated piece is "qvb", in any case: "FW.QVB" is one too.
bool is_container(const QString &path);

// Pads, stamps and sums the (already descrambled) bytes. Empty when the padded image is
// shorter than min_padded_size, since the stamp must never land outside the image.
QByteArray derive(const QByteArray &plain);

quint32 read_le32(const QByteArray &bytes, int offset);
quint32 sum32(const char *data, qint64 size);

enum class failure {
    none,
    cannot_open,   // missing, unreadable, or an empty path
    not_regular,   // a directory, FIFO, device or other non-regular file
    too_large,     // over max_file_size
    short_read,    // fewer bytes arrived than the file holds
    too_short,     // padded image shorter than min_padded_size
    not_firmware,  // text that is none of the formats (unless the caller says it is binary)
    bad_content,   // a format's records or headers are broken, or name and content disagree
};

const char *describe(failure f);

// Everything about one load, for the worker and for "korvane-cli image".
struct loaded
{
    failure error = failure::none;
    qint64 file_size = 0;
    firmware_file::format format = firmware_file::format::binary;
    bool container = false; // a binary descrambled from a .qvb container
    QByteArray bytes;       // the finished image, trailer included; empty on failure
    QByteArray file_sha256; // of the file as read (32 bytes), for logs and release notes
    int padded_size = 0;    // n: the image without its trailer
    quint32 stamped_length = 0;
    quint32 sum = 0;
    // Converted files only: the address the image's first byte belongs at, which must be
    // where the device's program starts, and the runs of data the file holds.
    std::optional<quint32> address;
    QVector<firmware_file::segment> segments;
    bool unterminated = false; // an S-record file whole by its count, without a termination record
    // The four bytes the length stamp replaced, as the padded image held them: firmware
    // built for this bootloader leaves them 00 or FF.
    QByteArray stamped_over;
    bool missing = false; // cannot_open: the system knows no file by that name
    QString detail; // what exactly is wrong, for not_firmware and bad_content; the system's
                    // reason for cannot_open

    bool ok() const { return error == failure::none; }
};

// The format by content; with `raw` the file is taken as a binary image whatever it holds.
loaded load(const QString &path, qint64 size_cap = max_file_size, bool raw = false);

// Why a load failed, in English, to follow "the firmware file "NAME" ".
QString explain(const loaded &l);
// "Intel HEX", "S-record", "ELF", "binary" or "binary (.qvb container)".
QString format_name(const loaded &l);

// True when the length stamp replaced bytes that are neither all 0x00 nor all 0xFF: data
// of a firmware not built for this bootloader.
bool stamp_overwrites_data(const loaded &l);
// What the image's users should hear about it before it is written, in English: the data
// the length stamp overwrites, named by address and bytes. Empty when nothing.
QStringList warnings(const loaded &l);
// "0x08000400", or "the program's start + 0x400" for an image that carries no address.
QString stamp_address(const loaded &l);

} // namespace image
