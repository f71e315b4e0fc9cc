#pragma once
// How long this line takes to answer a block, to tell the answer to the request just sent
// from a reply owed by an earlier one. Write replies are all alike, so time is the only
// witness: a reply that comes far later than this line ever answers is more likely an old
// reply (a late one, or a copy the device sent again) than this request's own.
#include <QtGlobal>

#include <array>

class round_trips
{
public:
    // A reply more than `factor` times the median and a margin later is suspect. The margin
    // follows how much this line's replies spread, so that a busy machine's scheduler does
    // not make a prompt reply look late, yet on a steady line a device's copy of a reply
    // (trailing it by 100 ms and more) cannot pass for the answer to a lost request: twice
    // the spread (90th percentile less median), between 5 and 50 ms, and 50 ms until
    // enough replies have shown it.
    static constexpr int factor = 4;
    static constexpr qint64 min_margin_us = 5000;
    static constexpr qint64 max_margin_us = 50000;
    static constexpr int settled = 8;

    void add(qint64 us);
    // True for a reply `us` after its request when that is out of line with the replies so
    // far; never before the first.
    bool suspect(qint64 us) const;
    // The median of the latest replies; 0 before the first.
    qint64 median() const { return middle; }
    qint64 margin() const;

private:
    static constexpr int kept = 15; // the latest replies: the line may change its pace
    std::array<qint64, kept> latest{};
    int count = 0;
    int next = 0;
    qint64 middle = 0;
    qint64 usual_slowest = 0; // the 90th percentile of the latest replies: one slow reply is no spread
};
