#include "segmentsoutput.h"

#include "offthread.h"

#include "files/pathtext.h"
#include "jobtypes/joboutput.h"
#include "parts/partclaim.h"

#include <memory>

using PathText::absolute;
using PathText::native;

SegmentsOutput::SegmentsOutput(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , ticker(jobClock)
    , parts(settings.output)
    , reader(new OffThread(this))
{
    connect(reader, &OffThread::message, this, &SegmentsOutput::message);
}

SegmentsOutput::~SegmentsOutput()
{
    abort();
}

void SegmentsOutput::noteOutput()
{
    outputBefore = OutputGuard::stamp(absolute(settings.output));
    jobBefore = OutputGuard::stamp(parts.jobPath());
}

QString SegmentsOutput::madeElsewhere() const
{
    // The folder goes with the output made, its job record just before the last claim. A
    // process that started between the output's making and the folder's removal noted the
    // finished output as it was before: an output written after the job record this process
    // found at its start was made by that job too.
    if (parts.exists() && parts.hasJob())
        return QString();
    const QString path = absolute(settings.output);
    const OutputGuard::Stamp now = OutputGuard::stamp(path);
    const bool madeAfterRecord = jobBefore.exists && now.exists && now.modifiedNs >= jobBefore.modifiedNs;
    if (!madeAfterRecord && !OutputGuard::changedSince(outputBefore, path))
        return QString();
    return QStringLiteral("Another process on this job made the output %1 meanwhile.")
        .arg(native(absolute(settings.output)));
}

QString SegmentsOutput::claim()
{
    outputClaim = std::make_unique<PartClaim>(parts.outputClaimPath());
    if (outputClaim->tryTake())
        return QString();
    const PartClaim::Holder holder = outputClaim->liveHolder();
    outputClaim.reset();
    return madeByLine(holder);
}

QString SegmentsOutput::claimedElsewhere() const
{
    if (outputClaim)
        return QString();
    PartClaim other(parts.outputClaimPath());
    const PartClaim::Holder holder = other.liveHolder();
    return holder.valid() ? madeByLine(holder) : QString();
}

QString SegmentsOutput::madeByLine(const PartClaim::Holder &holder)
{
    return QStringLiteral("Every segment is encoded; the output is made by %1.")
        .arg(holder.valid() ? holder.describe() : QStringLiteral("another process"));
}

void SegmentsOutput::removeFolderLeftEmpty() const
{
    if (!madeElsewhere().isEmpty())
        parts.removeIfEmpty();
}

void SegmentsOutput::start(const QList<qint64> &firsts, const OutputFacts &facts)
{
    const PartsFolder *folder = &parts;
    const bool withTimes = JobOutput::isContainer(settings);
    const qint64 start = settings.startPicture;
    auto kept = std::make_shared<SegmentCheck::Kept>();
    reader->run([firsts, folder, withTimes, start, kept] { *kept = SegmentCheck::read(*folder, firsts, withTimes, start); },
        [this, kept, firsts, facts] { segmentsRead(*kept, firsts, facts); });
}

void SegmentsOutput::segmentsRead(const SegmentCheck::Kept &kept, const QList<qint64> &firsts, const OutputFacts &facts)
{
    if (!kept.redo.isEmpty()) {
        emit redo(kept.redo);
        return;
    }
    encoderCpuSeconds = kept.encoderCpuSeconds;
    OutputRequest request;
    for (qint64 first : firsts)
        request.bitstreams << parts.segmentPath(first);
    // A segment that holds the next one's first picture too is joined exactly, once proven.
    for (int i = 0; i + 1 < kept.overlaps.size(); ++i)
        request.seams << (kept.overlaps.at(i) ? SegmentJoiner::Seam::Overlap : SegmentJoiner::Seam::Closed);
    const PartClaim::Holder me = PartClaim::self();
    request.joined = parts.path() + QStringLiteral("/joined.%1.%2.265").arg(me.host).arg(me.pid);
    request.output = absolute(settings.output);
    request.facts = facts;
    request.tools = JobOutput::toolsOf(settings);
    if (JobOutput::isContainer(settings))
        request.container = JobOutput::container(settings, kept.times, kept.reachedEnd);
    request.rows = kept.rows;
    request.frameRate = JobOutput::frameRate(settings, facts);
    request.encodingSeconds = ticker.seconds();
    request.pictures = kept.pictures;
    request.qp = settings.qp;
    maker = new OutputMaker(this);
    connect(maker, &OutputMaker::finished, this, &SegmentsOutput::outputMade);
    maker->start(request);
    if (stopping)
        maker->stop();
}

void SegmentsOutput::outputMade(const OutputResult &made)
{
    maker->deleteLater();
    maker = nullptr;
    for (const QString &line : made.lines)
        emit message(line);
    QList<int> unproven;
    QStringList reasons;
    for (int i = 0; i < made.seams.size(); ++i) {
        if (made.seams.at(i).kind == SeamVerdict::NotProven) {
            unproven << i;
            reasons << made.seams.at(i).reason;
        }
    }
    if (made.outcome == OutputResult::NotJoined && !unproven.isEmpty()) {
        emit seamsNotProven(unproven, reasons);
        return;
    }
    // The output stays claimed until the job ends (the scheduler releases it as it winds
    // down): released here, before the parts folder goes, another process could claim the
    // output from segments that are being removed and fail its join on a missing segment.
    emit finished(made);
}

QString SegmentsOutput::rememberClosedSeams(const QString &reason) const
{
    JobRecord record;
    QString problem;
    PartsFolder folder(settings.output);
    if (folder.readJob(&record, &problem)) {
        record.closedSeams = reason;
        problem = folder.replaceJob(record);
    } else if (problem.isEmpty()) {
        problem = QStringLiteral("there is no job record");
    }
    const QString where = native(parts.path() + QStringLiteral("/job.json"));
    if (!problem.isEmpty())
        return QStringLiteral("The remaining segments are encoded the closed way; the job record %1 could not say so "
                              "for later runs: %2.").arg(where, problem);
    return QStringLiteral("The job record %1 now says that this encoder and configuration give closed seams: the "
                          "remaining segments, and those of later runs of this job, are encoded the closed way.")
        .arg(where);
}

bool SegmentsOutput::account(const OutputResult &made, JobResult *result) const
{
    result->encoderCpuSeconds = encoderCpuSeconds;
    if (made.reported)
        result->report = made.report;
    switch (made.outcome) {
    case OutputResult::Made:
    case OutputResult::LeftAsIs:
    case OutputResult::Unwritten:   // the segments were checked, each by itself
        result->outcome = JobResult::Finished;
        return true;
    case OutputResult::NotJoined:
        if (result->failure == JobResult::NoFailure) {
            result->outcome = JobResult::Failed;
            result->failure = JobResult::SegmentUnfit;
            result->message = made.problem;
        }
        break;
    case OutputResult::MuxFailed:
        // The segments stay for another try; the joined stream is kept beside the output.
        result->outcome = JobResult::Failed;
        result->failure = JobResult::MuxFailed;
        result->message = made.problem;
        break;
    case OutputResult::Stopped:
        result->outcome = JobResult::Stopped;
        break;
    }
    return false;
}

void SegmentsOutput::stop()
{
    stopping = true;
    if (maker)
        maker->stop();
}

void SegmentsOutput::abort()
{
    if (maker)
        maker->abort();
    reader->wait();
}

bool SegmentsOutput::isRunning() const
{
    return maker || reader->busy();
}

void SegmentsOutput::refreshClaim()
{
    if (outputClaim)
        outputClaim->refresh();
}

void SegmentsOutput::releaseClaim()
{
    outputClaim.reset();
}
