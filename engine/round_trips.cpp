#include "round_trips.h"

#include <algorithm>

void round_trips::add(qint64 us)
{
    latest[size_t(next)] = us;
    next = (next + 1) % kept;
    count = std::min(count + 1, kept);
    std::array<qint64, kept> sorted = latest;
    auto mid = sorted.begin() + count / 2;
    std::nth_element(sorted.begin(), mid, sorted.begin() + count);
    middle = *mid;
}

bool round_trips::suspect(qint64 us) const
{
    return count > 0 && us > factor * middle + margin_us;
}
