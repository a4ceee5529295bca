#include "partsopening.h"

#include "files/filestamp.h"
#include "files/pathtext.h"
#include "jobtypes/encoderconfigfile.h"
#include "parts/partclaim.h"

#include <QCryptographicHash>

#include <numeric>

using PathText::native;

PartsOpening::PartsOpening(const JobSettings &settings, PartsFolder *parts)
    : settings(settings)
    , parts(parts)
    , seams(SeamSupport::of(settings))
{
}

bool PartsOpening::open(const InputProbe &probe, qint64 total, int encoders, std::unique_ptr<PartClaim> *presence)
{
    const JobRecord wanted = recordFor(probe, total, encoders);
    const bool existed = parts->exists();
    QString problem = parts->make();   // refuses a link or a file in the folder's place
    // A link or a folder at a name the job writes is found before anything is encoded.
    if (problem.isEmpty())
        problem = parts->unfitName();
    if (!problem.isEmpty())
        return unusable(problem);
    // Present from now on, so that no process with other settings discards what this one does.
    *presence = std::make_unique<PartClaim>(parts->presenceClaimPath());
    if (!(*presence)->tryTake())
        return unusable((*presence)->error());
    const bool recorded = existed && parts->readJob(&kept, &problem);
    if (!problem.isEmpty())
        return unusable(problem);

    const QString reason = discardReason(wanted, existed, recorded);
    if (!reason.isEmpty()) {
        if (!discardKept(reason))
            return false;
        kept = JobRecord();
    }
    if ((!recorded || !reason.isEmpty()) && !recordPlan(wanted))
        return false;
    if (!coveringPlan(wanted, total, encoders))
        return false;
    sayHowSeamsJoin();
    return true;
}

// Said once for the job: why its segments are joined the closed way, where they are, or why
// some of them are.
void PartsOpening::sayHowSeamsJoin()
{
    QList<qint64> starts;
    for (const SegmentPlan::Segment &segment : std::as_const(kept.segments))
        starts << segment.first - settings.startPicture;
    if (!seams.exact())
        said << seams.closedLine();
    else if (kept.closedSeams.isEmpty() && !seams.closedSeamsLine(starts).isEmpty())
        said << seams.closedSeamsLine(starts);
    else if (!kept.closedSeams.isEmpty())
        said << QStringLiteral("The job record in %1 says that this encoder and configuration gave a seam whose two "
                               "copies differed (%2): the segments are joined the closed way, each seam costs about "
                               "one GOP.").arg(native(parts->path()), kept.closedSeams);
}

JobRecord PartsOpening::recordFor(const InputProbe &probe, qint64 total, int encoders) const
{
    JobRecord record;
    const FileStamp input = FileStamp::of(settings.input);
    record.input = input.path;
    record.inputSize = input.size;
    record.inputModifiedMs = input.modifiedMs;
    EncoderConfigFile config;
    config.read(settings.config);
    record.configHash = QCryptographicHash::hash(config.contents(), QCryptographicHash::Sha256).toHex();
    const FileStamp encoder = FileStamp::of(settings.encoder);
    record.encoder = encoder.path;
    record.encoderSize = encoder.size;
    record.encoderModifiedMs = encoder.modifiedMs;
    record.width = probe.width;
    record.height = probe.height;
    record.startPicture = settings.startPicture;
    record.pictureLimit = settings.pictureLimit;
    // Where the count is not the stream's own the last segment runs to the end of the input,
    // unless a limit ends it first.
    const bool openEnd = !probe.exact && settings.pictureLimit < 0;
    record.segmentLength = settings.segmentLength;
    record.segments = planFor(settings.startPicture, total, encoders, openEnd);
    return record;
}

// Segments of the length asked for, else the default plan.
QList<SegmentPlan::Segment> PartsOpening::planFor(qint64 first, qint64 total, int encoders, bool openEnd) const
{
    if (settings.segmentLength > 0)
        return SegmentPlan::cut(first, total, settings.segmentLength, openEnd);
    EncoderConfigFile config;
    config.read(settings.config);
    // Segments that overlap start where the seams can be exact.
    if (seams.exact() && kept.closedSeams.isEmpty())
        return SegmentPlan::defaultPlan(first, total, encoders, int(seams.cutStep()), openEnd, true);
    return SegmentPlan::defaultPlan(first, total, encoders, config.intValue(QStringLiteral("IntraPeriod"), 0), openEnd);
}

// Why what the folder keeps cannot serve this job; empty when it can (or there is nothing).
QString PartsOpening::discardReason(const JobRecord &wanted, bool existed, bool recorded) const
{
    if (!recorded)
        return existed && !parts->keptSegments().isEmpty() ? QStringLiteral("there is no record of what they were made from")
                                                           : QString();
    QString reason = wanted.difference(kept);
    if (reason.isEmpty() && settings.segmentLength > 0 && settings.segmentLength != kept.segmentLength)
        reason = kept.segmentLength > 0 ? QStringLiteral("they were cut into segments of %1 pictures, not %2")
                                              .arg(kept.segmentLength).arg(settings.segmentLength)
                                        : QStringLiteral("they were cut into segments of the default lengths, not %1 "
                                                         "pictures").arg(settings.segmentLength);
    if (reason.isEmpty() && settings.fresh)
        reason = QStringLiteral("--fresh asks for a fresh start");
    return reason;
}

// Removes every kept segment, saying why; refused while another process works on them.
bool PartsOpening::discardKept(const QString &reason)
{
    const QString folder = native(parts->path());
    // Segments in another process's hands are never pulled away from under it.
    if (inUse())
        return fail(JobResult::PartsInUse,
                    QStringLiteral("The segments in %1 are being encoded by another process, and %2.\n"
                                   "Nothing was changed; wait for that job, or give this one another output.")
                        .arg(folder, reason));
    const QString problem = parts->discardAll();
    if (!problem.isEmpty())
        return unusable(problem);
    said << QStringLiteral("The kept segments in %1 were discarded: %2.").arg(folder, reason);
    return true;
}

// Another process may have made the record a moment ago: then its plan is taken.
bool PartsOpening::recordPlan(const JobRecord &wanted)
{
    const QString problem = parts->writeJob(wanted, &kept);
    if (!problem.isEmpty())
        return unusable(problem);
    const QString differs = wanted.difference(kept);
    if (!differs.isEmpty())
        return fail(JobResult::PartsInUse, QStringLiteral("The segments in %1 are being encoded by another process, "
                                                          "and %2.\nNothing was changed.")
                                               .arg(native(parts->path()), differs));
    return true;
}

// A recorded plan is used only when its segments cover the job's pictures exactly once (one
// edited by hand may leave a gap, overlap or start before the input). Otherwise the plan is
// made anew: the kept segments that are a segment of the new plan and still check out stay,
// every other file of the job goes.
bool PartsOpening::coveringPlan(const JobRecord &wanted, qint64 total, int encoders)
{
    const qint64 first = settings.startPicture;
    const bool openEnd = !wanted.segments.isEmpty() && wanted.segments.last().count < 0;
    if (SegmentPlan::covers(kept.segments, first, total, openEnd))
        return true;
    if (inUse())
        return fail(JobResult::PartsInUse,
                    QStringLiteral("The segments in %1 are being encoded by another process, and its plan does not "
                                   "cover pictures %2 to %3 once.\nNothing was changed.")
                        .arg(native(parts->path())).arg(first).arg(first + total - 1));
    said << QStringLiteral("The parts folder's plan does not cover pictures %1 to %2 once: made anew.")
                .arg(first).arg(first + total - 1);
    // The part of the old plan that still fits is kept, so that its finished segments stay.
    JobRecord plan = wanted;
    plan.segments = SegmentPlan::coveredStart(kept.segments, first, total);
    const qint64 covered = std::accumulate(plan.segments.begin(), plan.segments.end(), qint64(0),
                                           [](qint64 sum, const SegmentPlan::Segment &span) { return sum + span.count; });
    if (covered < total)
        plan.segments += planFor(first + covered, total - covered, encoders, openEnd);
    else if (openEnd)
        plan.segments.last().count = -1;
    QList<qint64> keep;
    for (const SegmentPlan::Segment &span : plan.segments) {
        PartsFolder::SegmentRecord record;
        if (parts->finished(span.first, &record, true) && (record.pictures == span.count || span.count < 0))
            keep << span.first;
    }
    QString problem = parts->discardAllBut(keep);
    if (problem.isEmpty())
        problem = parts->replaceJob(plan);
    if (!problem.isEmpty())
        return unusable(problem);
    kept = plan;
    return true;
}

bool PartsOpening::inUse() const
{
    for (const QString &path : parts->otherClaims())
        if (PartClaim(path).liveHolder().valid())
            return true;
    return false;
}

bool PartsOpening::unusable(const QString &problem)
{
    return fail(JobResult::PartsUnusable,
                QStringLiteral("Cannot keep the segments in %1:\n%2.").arg(native(parts->path()), problem));
}

bool PartsOpening::fail(JobResult::Failure failure, const QString &text)
{
    failed = failure;
    failedText = text;
    return false;
}
