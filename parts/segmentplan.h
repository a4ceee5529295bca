#ifndef SEGMENTPLAN_H
#define SEGMENTPLAN_H

#include <QList>
#include <QtGlobal>

// Where a job's input is cut into segments of whole pictures. Where the count of the input's
// pictures may be short of the truth, the last segment runs to the end of the input, whatever
// that turns out to be.
class SegmentPlan
{
public:
    struct Segment
    {
        qint64 first = 0;   // picture number in the input (0 is its first picture)
        qint64 count = 0;   // pictures in it; -1: to the end of the input
    };

    // The fewest pictures a segment has by default (where the input is long enough), so that
    // the seams (a random-access picture where one piece might have coded a cheaper one,
    // shorter references at both ends) cost little beside the segment.
    static constexpr qint64 minimumLength = 96;
    // The most pictures a segment has by default, so that a stop or a crash loses little.
    static constexpr qint64 maximumLength = 512;

    // The plan a job gets by default for `total` pictures from `first` on: segments of whole
    // intra periods (of 16 pictures without one), at least minimumLength and at most
    // maximumLength pictures (shorter where the input is too short to give every encoder two),
    // longest first and shorter towards the end, the last never longer than the one before it.
    // A segment is about the rest over twice the encoders, so that processes that join the job
    // later (on other machines) still find work and the last segments finish together; a rest
    // shorter than an intra period goes with the last segment where there are segments enough
    // for every encoder.
    // exactSeams: the seams cost no rate, only one more intra picture of encoding each (the
    // next segment's first, coded twice), so the shortest segment is one intra period: the
    // shares taper towards the end down to that, where encoders would otherwise stand idle
    // while the last long segments finish, and stay long at the front, where an extra picture
    // buys nothing.
    static QList<Segment> defaultPlan(qint64 first, qint64 total, int encoders, int intraPeriod, bool openEnd,
                                      bool exactSeams = false);

    // Cuts `total` pictures from `first` on into segments of `length` (the last one shorter).
    // With openEnd the last segment runs to the end of the input.
    static QList<Segment> cut(qint64 first, qint64 total, qint64 length, bool openEnd);

    // Whether the segments, in order, cover the `total` pictures from `first` on exactly once:
    // no gap, no overlap, nothing before or after. A last segment that runs to the end of the
    // input covers the rest, with openEnd only.
    static bool covers(const QList<Segment> &segments, qint64 first, qint64 total, bool openEnd);

    // The recorded segments, in order, that cover pictures from `first` on without a gap or an
    // overlap and end within the `total` pictures: the part of an older plan a new one keeps.
    static QList<Segment> coveredStart(const QList<Segment> &recorded, qint64 first, qint64 total);
};

#endif // SEGMENTPLAN_H
