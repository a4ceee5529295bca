#include "segmentplan.h"

#include <algorithm>

namespace {

// A last segment that took the rest of the input may come out the longest, and would then run
// alone at the end while the other encoders stand idle. Whole intra periods move from it to the
// front segments (up to the longest allowed) until it is no longer than the one before it; the
// segments still start at whole intra periods.
void lastNotLongest(QList<SegmentPlan::Segment> *segments, qint64 step, qint64 longest)
{
    const int count = int(segments->size());
    int to = 0;
    while (count >= 2 && segments->last().count > (*segments)[count - 2].count && segments->last().count > step) {
        int tried = 0;
        while (tried < count - 1 && (*segments)[to].count + step > longest) {
            to = (to + 1) % (count - 1);
            ++tried;
        }
        if (tried == count - 1)
            break;
        (*segments)[to].count += step;
        segments->last().count -= step;
        to = (to + 1) % (count - 1);
    }
    qint64 at = segments->isEmpty() ? 0 : segments->first().first;
    for (SegmentPlan::Segment &segment : *segments) {
        segment.first = at;
        at += segment.count;
    }
}

} // namespace

QList<SegmentPlan::Segment> SegmentPlan::defaultPlan(qint64 first, qint64 total, int encoders, int intraPeriod,
                                                     bool openEnd, bool exactSeams)
{
    QList<Segment> segments;
    if (total <= 0)
        return segments;
    const qint64 step = intraPeriod > 0 ? intraPeriod : 16;
    const qint64 shares = 2 * std::max(1, encoders);
    // An input too short for segments of the usual length still gives every encoder two.
    const qint64 usual = exactSeams ? step : std::max(step, (minimumLength + step - 1) / step * step);
    const qint64 shortest = std::min(usual, std::max(step, total / shares / step * step));
    const qint64 longest = std::max(shortest, maximumLength / step * step);
    qint64 at = 0;
    while (at < total) {
        const qint64 rest = total - at;
        const qint64 share = (rest / shares + step / 2) / step * step;
        qint64 length = std::clamp(share, shortest, longest);
        // A rest too short for a segment of its own goes with this one, unless an encoder
        // would otherwise stand idle.
        if (rest - length < step && segments.size() + 1 >= std::max(1, encoders))
            length = rest;
        length = std::min(length, rest);
        segments.append({first + at, length});
        at += length;
    }
    lastNotLongest(&segments, step, longest);
    if (openEnd)
        segments.last().count = -1;
    return segments;
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

QList<SegmentPlan::Segment> SegmentPlan::coveredStart(const QList<Segment> &recorded, qint64 first, qint64 total)
{
    QList<Segment> kept;
    qint64 next = first;
    for (const Segment &segment : recorded) {
        if (segment.first != next || segment.count <= 0 || segment.count > first + total - next)
            break;
        kept.append(segment);
        next += segment.count;
    }
    return kept;
}
