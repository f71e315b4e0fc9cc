#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Turning a firmware file into the exact bytes the bootloader erases room for and writes:
// descramble a ".qvb" container, pad to whole words, stamp the padded length at offset
// 1024 and append the 32-bit sum, both little-endian.
namespace image {

constexpr int length_offset = 1024;
constexpr int min_padded_size = length_offset + 4; // room for the length stamp
constexpr int trailer_size = 4;
// Files larger than this are refused before a byte is read; no device has this much flash.
constexpr qint64 max_file_size = qint64(64) * 1024 * 1024;

// Byte i carries the image byte plus (i mod 255), modulo 256.
QByteArray descramble(const QByteArray &data);
QByteArray scramble(const QByteArray &data);

// True when the path's last "."-separated piece is exactly "qvb".
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
};

const char *describe(failure f);

// Everything about one load, for the worker and for "korvane-cli image".
struct loaded
{
    failure error = failure::none;
    qint64 file_size = 0;
    bool container = false;
    QByteArray bytes;       // the finished image, trailer included; empty on failure
    QByteArray file_sha256; // of the file as read (32 bytes), for logs and release notes
    int padded_size = 0;    // n: the image without its trailer
    quint32 stamped_length = 0;
    quint32 sum = 0;

    bool ok() const { return error == failure::none; }
};

loaded load(const QString &path, qint64 size_cap = max_file_size);

} // namespace image
