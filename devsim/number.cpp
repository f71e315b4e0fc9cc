#include "number.h"

namespace devsim {

bool parse_number(const QString &text, quint64 max, quint64 *out)
{
    // Qt's conversions forgive a sign and surrounding blanks; an option value should not.
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? text.mid(2) : text;
    if (digits.isEmpty() || !digits.at(0).isLetterOrNumber() || !digits.back().isLetterOrNumber())
        return false;
    bool ok = false;
    const quint64 v = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace devsim
