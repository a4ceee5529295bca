#ifndef PARTSOPENING_H
#define PARTSOPENING_H

#include "encoderrun/seamsupport.h"
#include "jobtypes/jobtypes.h"
#include "parts/partsfolder.h"
#include "segments/inputprobe.h"

#include <QString>
#include <QStringList>

#include <memory>

class PartClaim;

// How a job in segments opens its parts folder: the folder made (never through a link), a
// name of the job's taken by something other than a regular file refused before anything is
// encoded, this process made present, what was kept taken over when it fits the job and
// discarded, with the reason, when it does not, and the plan recorded, or made anew when the
// recorded one does not cover the job's pictures exactly once.
class PartsOpening
{
public:
    PartsOpening(const JobSettings &settings, PartsFolder *parts);

    // total: the pictures the job covers; encoders: how many run at once. False on a failure,
    // which failure() and problem() tell; *presence is this process's claim on the folder.
    bool open(const InputProbe &probe, qint64 total, int encoders, std::unique_ptr<PartClaim> *presence);

    // The plan in place once open() succeeded.
    const QList<SegmentPlan::Segment> &plan() const { return kept.segments; }
    // What the log should say, in order.
    const QStringList &lines() const { return said; }
    JobResult::Failure failure() const { return failed; }
    // Whether segments overlap by a picture at seams where they can: the encoder and its
    // configuration allow it, and the job record does not say that they gave a seam whose
    // copies differed.
    bool exactSeams() const { return seams.exact() && kept.closedSeams.isEmpty(); }
    const SeamSupport &seamSupport() const { return seams; }
    const QString &problem() const { return failedText; }

private:
    JobRecord recordFor(const InputProbe &probe, qint64 total, int encoders) const;
    QString discardReason(const JobRecord &wanted, bool existed, bool recorded) const;
    bool discardKept(const QString &reason);
    bool recordPlan(const JobRecord &wanted);
    bool coveringPlan(const JobRecord &wanted, qint64 total, int encoders);
    QList<SegmentPlan::Segment> planFor(qint64 first, qint64 total, int encoders, bool openEnd) const;
    bool inUse() const;
    void sayHowSeamsJoin();
    bool unusable(const QString &problem);
    bool fail(JobResult::Failure failure, const QString &text);

    const JobSettings &settings;
    PartsFolder *parts;
    const SeamSupport seams;
    JobRecord kept;
    QStringList said;
    JobResult::Failure failed = JobResult::NoFailure;
    QString failedText;
};

#endif // PARTSOPENING_H
