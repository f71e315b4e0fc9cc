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
    // A reply this much later than the median, and this many times it, is suspect. The
    // margin is above what a busy machine's scheduler adds now and then, and below the
    // 100 ms and more by which a device's copy of a reply trails it.
    static constexpr qint64 margin_us = 50000;
    static constexpr int factor = 4;

    void add(qint64 us);
    // True for a reply `us` after its request when that is out of line with the replies so
    // far; never before the first.
    bool suspect(qint64 us) const;
    // The median of the latest replies; 0 before the first.
    qint64 median() const { return middle; }

private:
    static constexpr int kept = 31; // the latest replies: the line may change its pace
    std::array<qint64, kept> latest{};
    int count = 0;
    int next = 0;
    qint64 middle = 0;
};
