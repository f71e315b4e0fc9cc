#include "round_trips.h"

#include <algorithm>

void round_trips::add(qint64 us)
{
    latest[size_t(next)] = us;
    next = (next + 1) % kept;
    count = std::min(count + 1, kept);
    std::array<qint64, kept> sorted = latest;
    std::sort(sorted.begin(), sorted.begin() + count);
    middle = sorted[size_t(count / 2)];
    usual_slowest = sorted[size_t((count - 1) * 9 / 10)];
}

qint64 round_trips::margin() const
{
    if (count < settled)
        return max_margin_us;
    return std::clamp(2 * (usual_slowest - middle), min_margin_us, max_margin_us);
}

bool round_trips::suspect(qint64 us) const
{
    return count > 0 && us > factor * middle + margin();
}
