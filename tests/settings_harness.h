#pragma once
// The operator's choices as one value, so a test writes the whole shared record in one
// step and compares it whole.

#include "update_settings.h"

#include <QStringList>

struct settings_values
{
    QString port_name;
    qint32 baud_rate = 0;
    QString parity;
    qint32 stop_bits = 0;
    QString firmware_path;
    bool auto_start = false;
    QString product_descriptor;
};

inline void fill_settings(UpdateSettings &s, const settings_values &v)
{
    s.port_name = v.port_name;
    s.baud_rate = v.baud_rate;
    s.parity = v.parity;
    s.stop_bits = v.stop_bits;
    s.firmware_path = v.firmware_path;
    s.auto_start = v.auto_start;
    s.product_descriptor = v.product_descriptor;
}

// The same fields of a record or of the values, as text in one order, so that a
// comparison shows which one differs.
template <class Record>
QStringList settings_fields(const Record &r)
{
    return {r.port_name, QString::number(r.baud_rate), r.parity, QString::number(r.stop_bits),
            r.firmware_path, QLatin1String(r.auto_start ? "true" : "false"), r.product_descriptor};
}
