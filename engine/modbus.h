#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <array>

// Modbus RTU Write Single Register requests that ask the running device application to
// restart into its bootloader, and the product descriptor line that describes them.
namespace modbus {

using crc_table = std::array<quint8, 256>;

// The two byte-wise lookup tables of CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF):
// hi[i] is the low byte of the table value T(i), lo[i] its high byte.
extern const crc_table crc_table_hi;
extern const crc_table crc_table_lo;

// What the window and korvane-cli send: device 1, register 9, two values.
constexpr char default_descriptor[] = "modbus,1,9,0x4D2E,0x6E3B";

constexpr quint8 fn_write_register = 0x06;
constexpr int reply_wait_ms = 200; // any byte back counts as an answer
constexpr int pause_ms = 10;       // between two requests

// CRC of the bytes as two bytes in sending order (low byte first).
QByteArray crc(const QByteArray &bytes, const crc_table &hi = crc_table_hi,
               const crc_table &lo = crc_table_lo);

// Low 8 bits of the address, low 16 bits of register and value, then the CRC.
QByteArray write_register_request(int address, int reg, int value,
                                  const crc_table &hi = crc_table_hi,
                                  const crc_table &lo = crc_table_lo);

// True when the frame's last two bytes are the CRC of the rest.
bool crc_ok(const QByteArray &frame);

// "0x"/"0X" then hexadecimal, otherwise decimal; anything that is not a signed 32-bit
// number gives 0.
qint32 parse_number(const QString &text);

// What a descriptor line asks for. Only "modbus,<address>,<register>,<value>..." with at
// least one value sends anything.
struct restart_request
{
    bool send = false;
    qint32 address = 0;
    qint32 reg = 0;
    QVector<qint32> values;
};
restart_request parse_descriptor(const QString &descriptor);

// What a descriptor the programs accept looks like, for a refusal's message.
constexpr char descriptor_forms[] =
    "modbus,ADDRESS,REGISTER,VALUE[,VALUE...] with ADDRESS 0 to 255, REGISTER and each VALUE "
    "0 to 65535 (decimal, or hexadecimal after 0x), or empty for no restart request";
// Why the requests of `descriptor` would not say exactly what it says: a line that sends
// nothing, a field that is no number, a number its field cannot hold (the requests keep
// only its low bits). Empty when they would, and for an empty descriptor.
QString descriptor_problem(const QString &descriptor);

} // namespace modbus
