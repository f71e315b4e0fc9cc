#pragma once

#include <QString>
#include <QtGlobal>

namespace devsim {

// Decimal, or hexadecimal after "0x"/"0X", from 0 to `max`. Every number the simulator
// takes (options and fault fields) goes through here, so all of them read alike. False,
// leaving *out alone, for anything else.
bool parse_number(const QString &text, quint64 max, quint64 *out);

} // namespace devsim
