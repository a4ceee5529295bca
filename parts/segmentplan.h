#ifndef SEGMENTPLAN_H
#define SEGMENTPLAN_H

#include <QList>
#include <QtGlobal>

// Where a job's input is cut into segments of whole pictures. Every segment but the last has
// the plan's length; the last one takes the rest. Where the count is an estimate, the last
// segment runs to the end of the input, whatever that turns out to be.
class SegmentPlan
{
public:
    struct Segment
    {
        qint64 first = 0;   // picture number in the input (0 is its first picture)
        qint64 count = 0;   // pictures in it; -1: to the end of the input
    };

    // The fewest pictures a segment has by default, so that the seams (a random-access picture
    // where one piece might have coded a cheaper one, shorter references at both ends) cost
    // little beside the segment.
    static constexpr qint64 minimumLength = 96;
    // The most pictures a segment has by default, so that a stop or a crash loses little.
    static constexpr qint64 maximumLength = 512;

    // The length a job's segments get by default: a multiple of the intra period (when it is
    // positive), at least minimumLength, at most maximumLength, chosen so that `encoders`
    // encoders side by side finish the `total` pictures soonest.
    static qint64 defaultLength(qint64 total, int encoders, int intraPeriod);

    // Cuts `total` pictures from `first` on into segments of `length` (the last one shorter).
    // With openEnd the last segment runs to the end of the input.
    static QList<Segment> cut(qint64 first, qint64 total, qint64 length, bool openEnd);

    // Whether the segments, in order, cover the `total` pictures from `first` on exactly once:
    // no gap, no overlap, nothing before or after. A last segment that runs to the end of the
    // input covers the rest, with openEnd only.
    static bool covers(const QList<Segment> &segments, qint64 first, qint64 total, bool openEnd);
};

#endif // SEGMENTPLAN_H
