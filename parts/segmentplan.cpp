#include "segmentplan.h"

#include <algorithm>
#include <vector>

namespace {

// What one more segment costs besides its pictures (the encoder's start, the seek and the
// first pictures' decode), in pictures' worth of an encoder's time.
constexpr qint64 segmentOverhead = 4;

// When the last of `total` pictures is encoded, with segments of `length` handed in order to
// whichever of `encoders` is free first.
qint64 finishTime(qint64 total, qint64 length, int encoders)
{
    std::vector<qint64> busyUntil(size_t(std::max(1, encoders)), 0);
    for (qint64 first = 0; first < total; first += length) {
        auto next = std::min_element(busyUntil.begin(), busyUntil.end());
        *next += std::min(length, total - first) + segmentOverhead;
    }
    return *std::max_element(busyUntil.begin(), busyUntil.end());
}

} // namespace

qint64 SegmentPlan::defaultLength(qint64 total, int encoders, int intraPeriod)
{
    const qint64 step = intraPeriod > 0 ? intraPeriod : 16;
    const qint64 shortest = std::max<qint64>(step, (minimumLength + step - 1) / step * step);
    const qint64 longest = std::max<qint64>(shortest, maximumLength / step * step);
    qint64 best = longest;
    qint64 bestTime = finishTime(total, longest, encoders);
    // Longer segments win a tie: fewer seams.
    for (qint64 length = longest - step; length >= shortest; length -= step) {
        const qint64 time = finishTime(total, length, encoders);
        if (time < bestTime) {
            best = length;
            bestTime = time;
        }
    }
    return best;
}

QList<SegmentPlan::Segment> SegmentPlan::cut(qint64 first, qint64 total, qint64 length, bool openEnd)
{
    QList<Segment> segments;
    if (length <= 0 || total <= 0)
        return segments;
    for (qint64 at = 0; at < total; at += length)
        segments.append({first + at, std::min(length, total - at)});
    if (openEnd)
        segments.last().count = -1;
    return segments;
}

bool SegmentPlan::covers(const QList<Segment> &segments, qint64 first, qint64 total, bool openEnd)
{
    if (segments.isEmpty() || total <= 0)
        return false;
    qint64 next = first;
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const Segment &segment = segments.at(i);
        if (segment.first != next)
            return false;
        if (segment.count == -1 && openEnd && i + 1 == segments.size())
            return segment.first < first + total;
        if (segment.count <= 0 || segment.count > first + total - next)
            return false;
        next += segment.count;
    }
    return next == first + total;
}
