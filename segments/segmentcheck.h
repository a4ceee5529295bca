#ifndef SEGMENTCHECK_H
#define SEGMENTCHECK_H

#include "encoderrun/encoderrun.h"
#include "output/outputguard.h"
#include "output/outputmaker.h"
#include "parts/partsfolder.h"

#include <QList>
#include <QString>

class PartClaim;

// When a segment counts as finished, and what its record keeps: checked once its encoder exited
// with 0, and again against its record, hash and all, before the join.
namespace SegmentCheck {

// Checks the bitstream a segment's encoder wrote (no writer left, written in this run, opening
// with parameter sets and a random-access picture, every picture handed over, a whole last unit,
// every picture's decoded picture hash matched or, without hashes, every picture decoded)
// and keeps it in the folder with its record: the pictures' times for the container, whether it
// ends the input, its pictures as the encoder reported them; only while the segment's claim is
// still this process's (it may have been taken over meanwhile). before: the bitstream's file just
// before the encoder started; settings: the job's, for how many pictures its encoder codes and
// what they are decoded with. Why it cannot be kept; empty when it is.
QString keep(PartsFolder *folder, const SegmentPlan::Segment &span, const EncoderRun::Outcome &outcome,
             const OutputGuard::Stamp &before, const PartClaim *claim, const JobSettings &settings);

// What the records of the finished segments say, read once every one is finished.
struct Kept
{
    QList<int> redo;            // segments that no longer match their records
    PictureTimes times;         // when the pictures are shown, over every segment
    QList<OutputRequest::Rows> rows;
    bool reachedEnd = false;
    qint64 pictures = 0;        // as the segments' checks counted them
    double encoderCpuSeconds = 0;   // of every segment's encoder, whichever process ran it
    QList<bool> overlaps;       // by segment: its bitstream also holds the next one's first picture
};
// The segments starting at firsts, each checked whole against its record; withTimes: each must
// hold its pictures' times. start: the job's first picture, where the report's rows begin.
Kept read(const PartsFolder &folder, const QList<qint64> &firsts, bool withTimes, qint64 start);

} // namespace SegmentCheck

#endif // SEGMENTCHECK_H
