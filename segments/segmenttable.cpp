#include "segmenttable.h"

#include "files/pathtext.h"
#include "parts/partsfolder.h"

#include <algorithm>

void SegmentTable::plan(const QList<SegmentPlan::Segment> &spans, const PartsFolder &parts)
{
    for (const SegmentPlan::Segment &span : spans) {
        Segment segment;
        segment.span = span;
        segment.claim = std::make_unique<PartClaim>(parts.claimPath(span.first));
        list.push_back(std::move(segment));
    }
}

QString SegmentTable::label(int index) const
{
    return QStringLiteral("%1/%2").arg(index + 1).arg(list.size());
}

QString SegmentTable::spanText(const SegmentPlan::Segment &span)
{
    return span.count < 0 ? QStringLiteral("from %1 on").arg(span.first)
                          : QStringLiteral("%1 to %2").arg(span.first).arg(span.first + span.count - 1);
}

QString SegmentTable::describe(int index) const
{
    return QStringLiteral("Segment %1 (pictures %2)").arg(label(index), spanText(list[size_t(index)].span));
}

QString SegmentTable::droppedLine(int index, qint64 end) const
{
    const int dropped = size() - index;
    const QString first = label(index);
    const QString last = label(size() - 1);
    return QStringLiteral("The input ends after picture %1: %2 (pictures %3 on), which start%4 past its end, %5 "
                          "dropped.")
        .arg(end - 1)
        .arg(dropped == 1 ? QStringLiteral("segment %1").arg(first)
                          : QStringLiteral("segments %1 to %2").arg(first, last))
        .arg(list[size_t(index)].span.first)
        .arg(dropped == 1 ? "s" : "")
        .arg(dropped == 1 ? "is" : "are");
}

int SegmentTable::finished() const
{
    return int(std::count_if(list.begin(), list.end(), [](const Segment &s) { return s.phase == Finished; }));
}

int SegmentTable::running() const
{
    return int(std::count_if(list.begin(), list.end(), [](const Segment &s) { return s.phase == Encoding; }));
}

QList<qint64> SegmentTable::firsts() const
{
    QList<qint64> firsts;
    for (const Segment &segment : list)
        firsts << segment.span.first;
    return firsts;
}

QList<PartClaim *> SegmentTable::openClaims() const
{
    QList<PartClaim *> claims;
    for (const Segment &segment : list)
        if (segment.phase == Open)
            claims << segment.claim.get();
    return claims;
}

QList<PartClaim *> SegmentTable::claimsInHand() const
{
    QList<PartClaim *> claims;
    for (const Segment &segment : list)
        if (segment.phase == Claimed || segment.phase == Encoding || segment.phase == Checking)
            claims << segment.claim.get();
    return claims;
}

int SegmentTable::indexOf(const PartClaim *claim) const
{
    const auto found = std::find_if(list.begin(), list.end(),
                                    [claim](const Segment &segment) { return segment.claim.get() == claim; });
    return found == list.end() ? -1 : int(found - list.begin());
}

QString SegmentTable::waitingLine(const HolderWatch::Look &look)
{
    const QString who = look.holders.join(QStringLiteral(", "));
    return look.held == 1
        ? QStringLiteral("Waiting for the segment %1 holds: should it go, the segment is encoded here (--no-wait "
                         "leaves it to %1 instead).").arg(who)
        : QStringLiteral("Waiting for the %1 segments %2 hold%3: should a holder go, its segments are encoded here "
                         "(--no-wait leaves them to their holders instead).")
              .arg(look.held).arg(who).arg(look.holders.size() == 1 ? "s" : "");
}

QString SegmentTable::leftLine(const HolderWatch::Look &look)
{
    const int held = look.held;
    return QStringLiteral("%1 segment%2 %3 still being encoded by %4; the output is made "
                          "by whichever process finishes last.")
        .arg(held).arg(held == 1 ? "" : "s").arg(held == 1 ? "is" : "are")
        .arg(look.holders.join(QStringLiteral(", ")));
}

PartClaim::Take SegmentTable::take(int index, const PartsFolder &parts, QString *line)
{
    // A process learns here of the segments others finished: one is seen so from its record
    // before a claim is written for it, not after a claim written, synced, linked and let go.
    if (lookUp(index, parts))
        return PartClaim::Finished;
    PartClaim &claim = *list[size_t(index)].claim;
    const PartClaim::Take take = claim.take([this, index, &parts] { return lookUp(index, parts); });
    if (take == PartClaim::Taken)
        list[size_t(index)].phase = Claimed;
    if (take == PartClaim::Unusable)
        *line = QStringLiteral("Cannot claim segment %1:\n%2.").arg(label(index), claim.error());
    else if (take != PartClaim::Held && !claim.leftBy().isEmpty())
        *line = QStringLiteral("Segment %1 was left by %2: it is encoded here.").arg(label(index), claim.leftBy());
    return take;
}

bool SegmentTable::lookUp(int index, const PartsFolder &parts)
{
    Segment &segment = list[size_t(index)];
    PartsFolder::SegmentRecord record;
    if (segment.phase != Open || !parts.finished(segment.span.first, &record, false))
        return false;
    segment.phase = Finished;
    segment.pictures = record.pictures;
    return true;
}

void SegmentTable::lookForFinished(const PartsFolder &parts)
{
    for (int index = 0; index < size(); ++index)
        lookUp(index, parts);
}

void SegmentTable::started(int index, EncoderRun *run)
{
    Segment &segment = list[size_t(index)];
    segment.phase = Encoding;
    segment.run = run;
    segment.pictures = 0;
}

void SegmentTable::progressed(int index, qint64 pictures)
{
    list[size_t(index)].pictures = pictures;
}

void SegmentTable::encoderStarting(int index, const PartsFolder &parts)
{
    Segment &segment = list[size_t(index)];
    segment.before = OutputGuard::stamp(PathText::absolute(parts.partialPath(segment.span.first)));
}

EncoderRun::Outcome SegmentTable::runEnded(int index)
{
    Segment &segment = list[size_t(index)];
    const EncoderRun::Outcome outcome = segment.run->outcome();
    segment.run->deleteLater();
    segment.run = nullptr;
    segment.phase = Claimed;
    segment.pictures = outcome.pictures.given;
    return outcome;
}

void SegmentTable::checking(int index)
{
    list[size_t(index)].phase = Checking;
}

void SegmentTable::checked(int index)
{
    list[size_t(index)].phase = Claimed;
}

void SegmentTable::finish(int index)
{
    Segment &segment = list[size_t(index)];
    segment.phase = Finished;
    segment.claim->release();
}

void SegmentTable::release(int index)
{
    Segment &segment = list[size_t(index)];
    if (segment.phase == Claimed || segment.phase == Checking)
        segment.phase = Open;
    segment.claim->release();
}

void SegmentTable::leave(int index, const PartsFolder &parts)
{
    Segment &segment = list[size_t(index)];
    dropRun(segment);
    segment.phase = Open;
    segment.pictures = 0;
    parts.discardPartial(segment.span.first);
}

void SegmentTable::redo(int index, const PartsFolder &parts)
{
    Segment &segment = list[size_t(index)];
    parts.discardSegment(segment.span.first);
    segment.phase = Open;
    segment.pictures = 0;
}

void SegmentTable::stopRuns()
{
    for (Segment &segment : list)
        if (segment.run)
            segment.run->stop();
}

void SegmentTable::dropRun(Segment &segment)
{
    if (!segment.run)
        return;
    segment.run->abort();
    delete segment.run;
    segment.run = nullptr;
    segment.phase = Claimed;
}

void SegmentTable::dropRuns(const PartsFolder *parts)
{
    for (Segment &segment : list) {
        if (!segment.run)
            continue;
        dropRun(segment);
        if (parts)
            parts->discardPartial(segment.span.first);
    }
}

int SegmentTable::firstFrom(qint64 end) const
{
    const auto from = std::find_if(list.begin(), list.end(),
                                   [end](const Segment &segment) { return segment.span.first >= end; });
    return from == list.end() ? -1 : int(from - list.begin());
}

int SegmentTable::holdingFrom(qint64 end) const
{
    const auto holding = std::find_if(list.begin(), list.end(), [end](const Segment &segment) {
        return (segment.phase == Finished || segment.phase == Checking)
            && (segment.span.first >= end || segment.span.first + segment.pictures > end);
    });
    return holding == list.end() ? -1 : int(holding - list.begin());
}

void SegmentTable::dropFrom(int index, const PartsFolder &parts)
{
    for (int dropped = index; dropped < size(); ++dropped) {
        Segment &segment = list[size_t(dropped)];
        dropRun(segment);
        parts.discardPartial(segment.span.first);
        segment.claim->release();
    }
    list.erase(list.begin() + index, list.end());
}

void SegmentTable::releaseClaims()
{
    for (Segment &segment : list) {
        if (segment.phase == Claimed || segment.phase == Checking)
            segment.phase = Open;
        segment.claim->release();
    }
}

qint64 SegmentTable::pictures(bool finishedOnes) const
{
    qint64 pictures = 0;
    for (const Segment &segment : list)
        pictures += (segment.phase == Finished) == finishedOnes ? segment.pictures : 0;
    return pictures;
}

qint64 SegmentTable::fill(JobProgress *progress) const
{
    qint64 handed = 0;
    bool encoding = false;
    for (const Segment &segment : list) {
        progress->pictures += segment.pictures;
        if (segment.run)
            handed += segment.pictures;
        // The complete files' first step, while no encoder runs yet.
        if (!segment.run || !segment.run->preparing()) {
            encoding = encoding || segment.run;
            continue;
        }
        progress->preparing = true;
        progress->prepared += segment.run->prepared();
        progress->preparedTotal += qMax<qint64>(0, segment.span.count);
    }
    progress->preparing = progress->preparing && !encoding;
    progress->segmentsDone = finished();
    progress->segmentsTotal = size();
    return handed;
}
