#include "segmentscheduler.h"

#include "joboutput.h"
#include "partsopening.h"
#include "segmentcheck.h"

#include "bitstream/librarylog.h"
#include "parts/partclaim.h"
#include "encoding/pathtext.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

using PathText::absolute;
using PathText::native;

namespace {

// How often a process that has nothing left to do looks at the segments others hold.
constexpr int watchIntervalMs = 1000;

// How often held claims are refreshed: often enough that a timeout of a few refreshes is never
// reached by a live holder.
int refreshIntervalMs()
{
    return qBound(1000, PartClaim::timeoutSeconds() * 1000 / 6, 10000);
}

// "512 to 767", or "from 512 on" for a segment that runs to the end of the input.
QString spanText(const SegmentPlan::Segment &span)
{
    return span.count < 0 ? QStringLiteral("from %1 on").arg(span.first)
                          : QStringLiteral("%1 to %2").arg(span.first).arg(span.first + span.count - 1);
}

} // namespace


SegmentScheduler::SegmentScheduler(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent)
    : JobPath(parent)
    , settings(settings)
    , ticker(jobClock)
    , encoders(qMax(1, settings.parallelEncoders))
{
}

SegmentScheduler::~SegmentScheduler()
{
    abort();
}

void SegmentScheduler::start()
{
    outputAtStart = OutputGuard::stamp(absolute(settings.output));
    auto probe = std::make_shared<InputProbe>();
    const JobSettings job = settings;
    const auto count = counted;
    const auto stop = probeStop;
    countTimer = new QTimer(this);
    connect(countTimer, &QTimer::timeout, this, &SegmentScheduler::reportCounting);
    countTimer->start(250);
    offThread([job, probe, count, stop] {
        const bool raw = job.rawWidth != 0 && job.rawHeight != 0;
        *probe = raw ? InputProbe::probeRaw(job) : InputProbe::probe(job.input, job.config, count.get(), stop.get());
    }, [this, probe] { probed(*probe); });
}

// The count of the input's pictures, while it runs, as a step of its own.
void SegmentScheduler::reportCounting()
{
    const qint64 now = *counted;
    if (now < 0)
        return;
    JobProgress progress;
    progress.counting = true;
    progress.counted = now;
    progress.elapsedSeconds = ticker.seconds();
    emit progressChanged(progress);
}

void SegmentScheduler::probed(const InputProbe &probe)
{
    delete countTimer;
    countTimer = nullptr;
    if (stopping) {
        JobResult stopped;
        stopped.outcome = JobResult::Stopped;
        finish(stopped);
        return;
    }
    if (!probe.leftover.isEmpty()) {
        // Said once, though every segment's feed finds it too.
        segmentMessages.insert(probe.leftover);
        emit message(probe.leftover);
    }
    qint64 total = probe.pictures - settings.startPicture;
    if (settings.pictureLimit >= 0)
        total = qMin(total, settings.pictureLimit);
    if (!probe.problem.isEmpty() || total <= 0) {
        if (!probe.problem.isEmpty())
            emit message(QStringLiteral("The input is encoded in one piece: %1.").arg(probe.problem));
        ended = true;
        emit inOnePiece();
        return;
    }
    if (probe.counted)
        emit message(QStringLiteral("The video stream of %1 states no picture count of its own: %2 pictures counted.")
                         .arg(native(absolute(settings.input))).arg(probe.pictures));
    facts = probe.facts;
    pictureTimes = probe.times;
    expectedPictures = total;
    declaredPictures = probe.exact ? total : 0;
    if (finishedByAnother())
        return;
    parts = std::make_unique<PartsFolder>(settings.output);
    PartsOpening opening(settings, parts.get());
    const bool opened = opening.open(probe, total, encoders, &presence);
    for (const QString &line : opening.lines())
        emit message(line);
    if (!opened) {
        fail(opening.failure(), opening.problem());
        return;
    }
    for (const SegmentPlan::Segment &span : opening.plan()) {
        Segment segment;
        segment.span = span;
        segment.claim = std::make_unique<PartClaim>(parts->claimPath(span.first));
        segments.push_back(std::move(segment));
    }
    lookForFinishedSegments();
    reportProgress(true);
    const int kept = segmentsFinished();
    if (kept > 0)
        emit message(QStringLiteral("Resuming: %1 of %2 segments already encoded.").arg(kept).arg(segments.size()));

    claimTimer = new QTimer(this);
    connect(claimTimer, &QTimer::timeout, this, &SegmentScheduler::refreshClaims);
    claimTimer->start(refreshIntervalMs());
    schedule();
}

// Another process on the same job made the output and removed the parts folder while this one
// looked at the input or the folder: the job is done, and this process says so and ends.
bool SegmentScheduler::finishedByAnother()
{
    if ((parts && parts->exists()) || (!parts && PartsFolder(settings.output).exists())
        || !OutputGuard::changedSince(outputAtStart, absolute(settings.output)))
        return false;
    if (pending.finishedElsewhere.isEmpty()) {
        pending = JobResult();
        pending.outcome = JobResult::Finished;
        pending.finishedElsewhere = QStringLiteral("Another process on this job made the output %1 meanwhile.")
                                        .arg(native(absolute(settings.output)));
        emit message(pending.finishedElsewhere);
    }
    if (segments.empty()) {
        parts.reset();
        presence.reset();
        finish(pending);
    } else {
        stopRuns();
        endSegments();
    }
    return true;
}

void SegmentScheduler::schedule()
{
    if (ended || stopping || makingOutput || pending.failure != JobResult::NoFailure || pending.exitCode != 0
        || !pending.outputProblem.isEmpty())
        return;
    int runningNow = 0;
    for (const Segment &segment : segments)
        runningNow += segment.run ? 1 : 0;
    // Until the first command line has been shown, one encoder only: the box is answered once.
    const int allowed = announced ? encoders : 1;
    for (int index = 0; index < int(segments.size()) && runningNow < allowed; ++index) {
        const Segment &segment = segments[size_t(index)];
        if (segment.finished || segment.run || segment.checking)
            continue;
        if (!claim(index)) {
            if (ended || pending.failure != JobResult::NoFailure || !pending.finishedElsewhere.isEmpty())
                return;
            continue;
        }
        startSegment(index);
        ++runningNow;
        if (!announced)
            break;
    }
    if (runningNow > 0 || checking > 0)
        return;
    if (segmentsFinished() == int(segments.size())) {
        makeOutput();
        return;
    }
    watchOthers();
}

// Takes the segment's claim; false when another process holds it, or it turns out finished.
bool SegmentScheduler::claim(int index)
{
    Segment &segment = segments[size_t(index)];
    if (!segment.claim->tryTake()) {
        if (!segment.claim->error().isEmpty())
            fail(JobResult::PartsUnusable,
                 QStringLiteral("Cannot claim segment %1:\n%2.").arg(segmentLabel(index), segment.claim->error()));
        return false;
    }
    if (segment.claim->takenOverFrom().valid())
        emit message(QStringLiteral("Segment %1 was left by %2, which is gone: it is encoded here.")
                         .arg(segmentLabel(index), segment.claim->takenOverFrom().describe()));
    // Finished by another process between the look and the claim.
    PartsFolder::SegmentRecord record;
    if (parts->finished(segment.span.first, &record, false)) {
        segment.claim->release();
        segment.finished = true;
        segment.pictures = record.pictures;
        return false;
    }
    return true;
}

void SegmentScheduler::startSegment(int index)
{
    Segment &segment = segments[size_t(index)];
    JobSettings part = settings;
    part.output = parts->partialPath(segment.span.first);
    part.startPicture = segment.span.first;
    part.pictureLimit = segment.span.count;
    if (segment.span.first > 0 && segment.span.first <= pictureTimes.size())
        part.previousPictureTime = pictureTimes.at(segment.span.first - 1);
    if (segment.span.count < 0 && settings.pictureLimit >= 0)
        part.pictureLimit = settings.pictureLimit - (segment.span.first - settings.startPicture);
    parts->discardPartial(segment.span.first);
    segment.pictures = 0;
    segment.run = new SegmentRun(part, this);
    SegmentRun *run = segment.run;
    // Whether the encoder was seen reading its input twice: then the pictures go through a
    // complete file from the start.
    run->setSegment(true);
    run->setReadsInputTwice(readsInputTwice);
    connect(run, &SegmentRun::readsInputTwice, this, [this] { readsInputTwice = true; });
    connect(run, &SegmentRun::stageChanged, this, [this] { reportProgress(true); });
    if (encoders > 1)
        run->setLinePrefix(QStringLiteral("[%1] ").arg(segmentLabel(index)));
    emit message(QStringLiteral("Segment %1: pictures %2.").arg(segmentLabel(index), spanText(segment.span)));

    connect(run, &SegmentRun::commandLineReady, this, &SegmentScheduler::announce);
    connect(run, &SegmentRun::progressed, this, [this, index](qint64 pictures) {
        segments[size_t(index)].pictures = pictures;
        reportProgress(false);
    });
    connect(run, &SegmentRun::encoderOutput, this, &JobPath::encoderOutput);
    // What a segment's decode says (the pictures' format, a hint) is said once for the job.
    connect(run, &SegmentRun::message, this, [this](const QString &line) {
        if (segmentMessages.contains(line))
            return;
        segmentMessages.insert(line);
        emit message(line);
    });
    connect(run, &SegmentRun::warning, this, &JobPath::warning);
    connect(run, &SegmentRun::finished, this, [this, index] { segmentEnded(index); });
    run->start();
}

// The first segment's command line is shown once, with how many more follow.
void SegmentScheduler::announce(const QString &commandLine)
{
    if (announced)
        return;
    const int others = int(segments.size()) - segmentsFinished() - 1;
    QString shown = commandLine;
    if (others > 0)
        shown += QStringLiteral("\n\n%1 more segment%2 follow%3 with the same command line, each with "
                                "its own input and bitstream, up to %4 encoders at once.")
                     .arg(others).arg(others == 1 ? "" : "s").arg(others == 1 ? "s" : "").arg(encoders);
    emit commandLineReady(shown);
    announced = true;
    // The others start once the box is answered.
    QTimer::singleShot(0, this, &SegmentScheduler::schedule);
}

void SegmentScheduler::segmentEnded(int index)
{
    Segment &segment = segments[size_t(index)];
    SegmentRun *run = segment.run;
    const SegmentRun::Outcome outcome = run->outcome();
    segment.run = nullptr;
    run->deleteLater();
    segment.pictures = outcome.pictures;
    segment.reachedEnd = outcome.reachedEnd;
    if (outcome.kind == SegmentRun::Outcome::Encoded && outcome.exitCode == 0 && !outcome.crashed) {
        checkSegment(index, outcome);
        return;
    }
    parts->discardPartial(segment.span.first);
    segment.claim->release();
    if (outcome.kind == SegmentRun::Outcome::Failed && outcome.failure == JobResult::StartPastEnd && !stopping) {
        // The input ends before this segment: the plan shrinks, the job goes on.
        inputEndsAt(outcome.inputPictures);
        endSegments();
        if (!ended)
            schedule();
        return;
    }
    segmentFailed(index, outcome);
    endSegments();
}

// The input turned out to end at picture `end` (its pictures' count, found by a segment's
// decode): the segments that start at or past it hold nothing and are dropped, with one line.
void SegmentScheduler::inputEndsAt(qint64 end)
{
    const auto from = std::find_if(segments.begin(), segments.end(),
                                   [end](const Segment &segment) { return segment.span.first >= end; });
    if (from == segments.end())
        return;
    const int first = int(from - segments.begin());
    const int dropped = int(segments.size()) - first;
    const QString label = segmentLabel(first);
    const QString last = segmentLabel(int(segments.size()) - 1);
    emit message(QStringLiteral("The input ends after picture %1: %2 (pictures %3 on), which start%4 past its end, %5 "
                                "dropped.")
                     .arg(end - 1)
                     .arg(dropped == 1 ? QStringLiteral("segment %1").arg(label)
                                       : QStringLiteral("segments %1 to %2").arg(label, last))
                     .arg(from->span.first)
                     .arg(dropped == 1 ? "s" : "")
                     .arg(dropped == 1 ? "is" : "are"));
    for (auto segment = from; segment != segments.end(); ++segment) {
        if (segment->run) {
            segment->run->abort();
            delete segment->run;
            segment->run = nullptr;
        }
        parts->discardPartial(segment->span.first);
        segment->claim->release();
    }
    segments.erase(from, segments.end());
    if (!segments.empty() && segments.back().span.count < 0)
        return;
    expectedPictures = end - settings.startPicture;
    if (settings.pictureLimit >= 0)
        expectedPictures = qMin(expectedPictures, settings.pictureLimit);
}

// The segment counts as finished once its bitstream checks out, and is then kept with its
// record: the pictures' times for the container, whether it ends the input, and its pictures
// as the encoder reported them, for the report.
void SegmentScheduler::checkSegment(int index, const SegmentRun::Outcome &outcome)
{
    Segment &segment = segments[size_t(index)];
    ++checking;
    segment.checking = true;
    auto problem = std::make_shared<QString>();
    PartsFolder *folder = parts.get();
    const SegmentPlan::Segment span = segment.span;
    offThread([folder, span, outcome, problem] { *problem = SegmentCheck::keep(folder, span, outcome); },
        [this, index, problem] {
            --checking;
            segmentChecked(index, *problem);
        });
}

void SegmentScheduler::segmentChecked(int index, const QString &problem)
{
    Segment &segment = segments[size_t(index)];
    segment.checking = false;
    if (!problem.isEmpty() && finishedByAnother())
        return;
    if (problem.isEmpty()) {
        segment.finished = true;
        picturesThisRun += segment.pictures;
    } else if (!stopping && pending.outputProblem.isEmpty() && pending.failure == JobResult::NoFailure) {
        parts->discardPartial(segment.span.first);
        pending.outcome = JobResult::Finished;
        pending.outputProblem = QStringLiteral("Segment %1 (pictures %2) cannot be kept: %3.")
                                    .arg(segmentLabel(index), spanText(segment.span), problem);
        stopRuns();
    }
    segment.claim->release();
    reportProgress(true);
    if (segment.finished && segment.reachedEnd && (segment.span.count < 0 || segment.pictures < segment.span.count))
        inputEndsAt(segment.span.first + segment.pictures);
    // The segment that runs to the input's end tells where that is.
    if (segment.finished && segment.span.count < 0)
        expectedPictures = segment.span.first + segment.pictures - settings.startPicture;
    endSegments();
    if (!ended && !stopping)
        schedule();
}

// A run that could not go on fails the job; an encoder that failed stops the others, and the
// job reports its code as a job in one piece does.
void SegmentScheduler::segmentFailed(int index, const SegmentRun::Outcome &outcome)
{
    const bool first = pending.failure == JobResult::NoFailure && pending.exitCode == 0;
    if (outcome.kind == SegmentRun::Outcome::Failed) {
        if (first) {
            pending.outcome = JobResult::Failed;
            pending.failure = outcome.failure;
            pending.message = outcome.message;
        }
        stopRuns();
        return;
    }
    if (outcome.kind != SegmentRun::Outcome::Encoded || !first || stopping)
        return;
    const Segment &segment = segments[size_t(index)];
    pending.outcome = JobResult::Finished;
    pending.exitCode = outcome.exitCode;
    pending.encoderCrashed = outcome.crashed;
    emit message(outcome.crashed
                     ? QStringLiteral("Segment %1 (pictures %2): the encoder was ended by signal %3.")
                           .arg(segmentLabel(index), spanText(segment.span)).arg(outcome.exitCode)
                     : QStringLiteral("Segment %1 (pictures %2): the encoder exited with code %3 after it "
                                      "was given %4 pictures.")
                           .arg(segmentLabel(index), spanText(segment.span)).arg(outcome.exitCode).arg(outcome.pictures));
    stopRuns();
}

void SegmentScheduler::stopRuns()
{
    for (Segment &segment : segments)
        if (segment.run)
            segment.run->stop();
}

void SegmentScheduler::refreshClaims()
{
    for (int index = 0; index < int(segments.size()); ++index) {
        Segment &segment = segments[size_t(index)];
        if (!segment.run || segment.claim->refresh())
            continue;
        // Taken over by another process, which thought this one gone: it is theirs now.
        emit message(QStringLiteral("Segment %1 was taken over by another process; it is left to it.")
                         .arg(segmentLabel(index)));
        segment.run->abort();
        delete segment.run;
        segment.run = nullptr;
        segment.pictures = 0;
        parts->discardPartial(segment.span.first);
        QTimer::singleShot(0, this, &SegmentScheduler::schedule);
    }
    if (outputClaim)
        outputClaim->refresh();
    if (presence)
        presence->refresh();
}

void SegmentScheduler::lookForFinishedSegments()
{
    for (Segment &segment : segments) {
        PartsFolder::SegmentRecord record;
        if (segment.finished || segment.run || segment.checking || !parts->finished(segment.span.first, &record, false))
            continue;
        segment.finished = true;
        segment.pictures = record.pictures;
    }
}

// Nothing left to take: every other segment is finished or held by another process. Segments
// whose holder goes are taken over; once every holder is seen alive, this process leaves the
// rest to them.
void SegmentScheduler::watchOthers()
{
    lookForFinishedSegments();
    QStringList holders;
    int held = 0;
    bool allSeenAlive = true;
    for (Segment &segment : segments) {
        if (segment.finished || segment.run || segment.checking)
            continue;
        bool seenAlive = false;
        const PartClaim::Holder holder = segment.claim->watchHolder(&seenAlive);
        if (!holder.valid()) {
            // Its holder is gone: take it over at once.
            QTimer::singleShot(0, this, &SegmentScheduler::schedule);
            return;
        }
        ++held;
        allSeenAlive = allSeenAlive && seenAlive;
        if (!holders.contains(holder.host))
            holders << holder.host;
    }
    reportProgress(true);
    if (held == 0) {
        QTimer::singleShot(0, this, &SegmentScheduler::schedule);
        return;
    }
    if (allSeenAlive && settings.noWait) {
        pending.outcome = JobResult::Finished;
        pending.finishedElsewhere = QStringLiteral("%1 segment%2 %3 still being encoded by %4; the output is made "
                                                   "by whichever process finishes last.")
                                        .arg(held).arg(held == 1 ? "" : "s").arg(held == 1 ? "is" : "are")
                                        .arg(holders.join(QStringLiteral(", ")));
        emit message(pending.finishedElsewhere);
        endSegments();
        return;
    }
    waitForOthers(held, holders);
}

// Every free segment is taken and others hold the rest: this process waits, so that a holder
// that goes (a machine lost, a task cancelled) costs its segment, not the output. It looks
// again every second, and takes over a claim whose holder is gone or has left it unrefreshed.
void SegmentScheduler::waitForOthers(int held, const QStringList &holders)
{
    const QString who = holders.join(QStringLiteral(", "));
    if (who != waitingFor) {
        waitingFor = who;
        emit message(held == 1
                         ? QStringLiteral("Waiting for the segment %1 holds: should it go, the segment is encoded "
                                          "here (--no-wait leaves it to %1 instead).").arg(who)
                         : QStringLiteral("Waiting for the %1 segments %2 hold%3: should a holder go, its segments "
                                          "are encoded here (--no-wait leaves them to their holders instead).")
                               .arg(held).arg(who).arg(holders.size() == 1 ? "s" : ""));
    }
    if (!watchTimer) {
        watchTimer = new QTimer(this);
        watchTimer->setSingleShot(true);
        connect(watchTimer, &QTimer::timeout, this, &SegmentScheduler::watchOthers);
    }
    watchTimer->start(watchIntervalMs);
}

// Every segment is finished: the process that claims the output checks every segment whole
// against its record (one edited since is encoded again) and hands them to the output step.
void SegmentScheduler::makeOutput()
{
    outputClaim = std::make_unique<PartClaim>(parts->outputClaimPath());
    if (!outputClaim->tryTake()) {
        const PartClaim::Holder holder = outputClaim->liveHolder();
        outputClaim.reset();
        pending.outcome = JobResult::Finished;
        pending.finishedElsewhere = QStringLiteral("Every segment is encoded; the output is made by %1.")
                                        .arg(holder.valid() ? holder.describe() : QStringLiteral("another process"));
        emit message(pending.finishedElsewhere);
        endSegments();
        return;
    }
    makingOutput = true;
    reportProgress(true);
    QList<qint64> firsts;
    for (const Segment &segment : segments)
        firsts << segment.span.first;
    const PartsFolder *folder = parts.get();
    const bool withTimes = JobOutput::isContainer(settings);
    const qint64 start = settings.startPicture;
    auto kept = std::make_shared<SegmentCheck::Kept>();
    offThread([firsts, folder, withTimes, start, kept] { *kept = SegmentCheck::read(*folder, firsts, withTimes, start); },
        [this, kept] { segmentsRead(*kept); });
}

void SegmentScheduler::segmentsRead(const SegmentCheck::Kept &kept)
{
    if (!kept.redo.isEmpty()) {
        // Kept segments that no longer check out (cut short, edited): encoded again.
        makingOutput = false;
        for (int index : kept.redo) {
            Segment &segment = segments[size_t(index)];
            emit message(QStringLiteral("Segment %1 no longer matches its record: it is encoded again.")
                             .arg(segmentLabel(index)));
            parts->discardSegment(segment.span.first);
            segment.finished = false;
            segment.pictures = 0;
        }
        outputClaim.reset();
        schedule();
        return;
    }
    pending.encoderCpuSeconds = kept.encoderCpuSeconds;
    OutputRequest request;
    for (const Segment &segment : segments)
        request.bitstreams << parts->segmentPath(segment.span.first);
    const PartClaim::Holder me = PartClaim::self();
    request.joined = parts->path() + QStringLiteral("/joined.%1.%2.265").arg(me.host).arg(me.pid);
    request.output = absolute(settings.output);
    request.facts = facts;
    if (JobOutput::isContainer(settings))
        request.container = JobOutput::container(settings, kept.times, kept.reachedEnd);
    request.rows = kept.rows;
    request.frameRate = JobOutput::frameRate(settings, facts);
    request.encodingSeconds = ticker.seconds();
    request.pictures = kept.pictures;
    request.qp = settings.qp;
    maker = new OutputMaker(this);
    connect(maker, &OutputMaker::finished, this, &SegmentScheduler::outputMade);
    maker->start(request);
    if (stopping)
        maker->stop();
}

void SegmentScheduler::outputMade(const OutputResult &made)
{
    maker->deleteLater();
    maker = nullptr;
    makingOutput = false;
    for (const QString &line : made.lines)
        emit message(line);
    if (made.reported)
        pending.report = made.report;
    switch (made.outcome) {
    case OutputResult::Made:
    case OutputResult::LeftAsIs:
    case OutputResult::Unwritten:   // the segments were checked, each by itself
        pending.outcome = JobResult::Finished;
        outputClaim.reset();
        parts->remove();
        parts.reset();
        break;
    case OutputResult::NotJoined:
        if (pending.failure == JobResult::NoFailure) {
            pending.outcome = JobResult::Failed;
            pending.failure = JobResult::SegmentUnfit;
            pending.message = made.problem;
        }
        break;
    case OutputResult::MuxFailed:
        // The segments stay for another try; the joined stream is kept beside the output.
        pending.outcome = JobResult::Failed;
        pending.failure = JobResult::MuxFailed;
        pending.message = made.problem;
        outputClaim.reset();
        break;
    case OutputResult::Stopped:
        pending.outcome = JobResult::Stopped;
        outputClaim.reset();
        break;
    }
    endSegments();
}

void SegmentScheduler::fail(JobResult::Failure failure, const QString &text)
{
    // A folder that went away under this process may simply be a job another one finished.
    if (failure == JobResult::PartsUnusable && finishedByAnother())
        return;
    if (pending.failure == JobResult::NoFailure) {
        pending.outcome = JobResult::Failed;
        pending.failure = failure;
        pending.message = text;
    }
    if (!segments.empty()) {
        stopRuns();
        endSegments();
        return;
    }
    // Nothing runs yet.
    if (helpers.isEmpty())
        finish(pending);
}

// Ends a job in segments once nothing of it runs any more.
void SegmentScheduler::endSegments()
{
    if (ended || checking > 0 || makingOutput || !helpers.isEmpty())
        return;
    for (const Segment &segment : segments)
        if (segment.run)
            return;
    // Still work to do, unless stopped, failed, left to others or done (the folder gone).
    const bool over = stopping || pending.failure != JobResult::NoFailure || pending.exitCode != 0
        || pending.encoderCrashed || !pending.outputProblem.isEmpty() || !pending.finishedElsewhere.isEmpty() || !parts;
    if (!over)
        return;
    // Segments other processes finished meanwhile are kept too, and counted.
    if (parts)
        lookForFinishedSegments();
    JobResult result = pending;
    result.segmentsTotal = int(segments.size());
    result.segmentsKept = parts ? segmentsFinished() : 0;
    result.pictures = 0;
    for (const Segment &segment : segments)
        result.pictures += segment.finished ? segment.pictures : 0;
    // Stopped, unless the output was made meanwhile (the parts folder is gone then).
    if (stopping && result.failure == JobResult::NoFailure && parts) {
        result.outcome = JobResult::Stopped;
        qint64 handed = picturesThisRun;
        for (const Segment &segment : segments)
            handed += segment.finished ? 0 : segment.pictures;
        result.pictures = handed;
    }
    if (parts && result.outcome == JobResult::Stopped)
        emit message(QStringLiteral("Encoding stopped after %1 pictures.").arg(result.pictures));
    if (parts && (result.outcome != JobResult::Finished || result.exitCode != 0 || !result.outputProblem.isEmpty())
        && !segments.empty())
        emit message(QStringLiteral("%1 of %2 segments are kept in %3; start the same job again to go on "
                                    "from there.")
                         .arg(result.segmentsKept).arg(result.segmentsTotal).arg(native(parts->path())));
    reportProgress(true);
    finish(result);
}

void SegmentScheduler::finish(JobResult result)
{
    ended = true;
    delete countTimer;
    countTimer = nullptr;
    delete claimTimer;
    claimTimer = nullptr;
    delete watchTimer;
    watchTimer = nullptr;
    outputClaim.reset();
    for (Segment &segment : segments)
        segment.claim.reset();
    presence.reset();
    if (!aborting)
        emit finished(result);
}

void SegmentScheduler::stop()
{
    if (stopping || ended)
        return;
    stopping = true;
    *probeStop = true;
    if (maker)
        maker->stop();
    stopRuns();
    endSegments();
}

void SegmentScheduler::abort()
{
    if (ended && helpers.isEmpty() && !maker)
        return;
    aborting = true;
    stopping = true;
    *probeStop = true;
    for (Segment &segment : segments) {
        if (!segment.run)
            continue;
        segment.run->abort();
        delete segment.run;
        segment.run = nullptr;
        if (parts)
            parts->discardPartial(segment.span.first);
    }
    if (maker)
        maker->abort();
    for (QThread *thread : std::as_const(helpers)) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
    helpers.clear();
    if (!ended)
        finish(pending);
}

void SegmentScheduler::offThread(std::function<void()> work, std::function<void()> done)
{
    // What the libraries say meanwhile is said in the log before the work's own lines.
    auto libraryLines = std::make_shared<QStringList>();
    QThread *thread = QThread::create([work = std::move(work), libraryLines] {
        const LibraryLog::Scope scope([libraryLines](const QString &line) { *libraryLines << line; });
        work();
    });
    helpers << thread;
    connect(thread, &QThread::finished, this, [this, thread, libraryLines, done = std::move(done)] {
        helpers.removeOne(thread);
        thread->deleteLater();
        if (aborting)
            return;
        for (const QString &line : std::as_const(*libraryLines))
            emit message(line);
        done();
    });
    thread->start();
}

void SegmentScheduler::reportProgress(bool force)
{
    if (!ticker.due(force))
        return;
    JobProgress progress;
    qint64 encodedHere = picturesThisRun;
    for (const Segment &segment : segments) {
        progress.pictures += segment.pictures;
        if (segment.run)
            encodedHere += segment.pictures;
    }
    progress.segmentsDone = segmentsFinished();
    progress.segmentsTotal = int(segments.size());
    progress.total = expectedPictures;
    progress.declaredTotal = declaredPictures;
    addPreparing(&progress);
    ticker.complete(&progress, encodedHere);
    emit progressChanged(progress);
}

// The complete files' first step, while no encoder runs yet.
void SegmentScheduler::addPreparing(JobProgress *progress) const
{
    bool encoding = false;
    for (const Segment &segment : segments) {
        if (!segment.run || !segment.run->preparing()) {
            encoding = encoding || segment.run;
            continue;
        }
        progress->preparing = true;
        progress->prepared += segment.run->prepared();
        progress->preparedTotal += qMax<qint64>(0, segment.span.count);
    }
    progress->preparing = progress->preparing && !encoding;
}

QString SegmentScheduler::segmentLabel(int index) const
{
    return QStringLiteral("%1/%2").arg(index + 1).arg(segments.size());
}

int SegmentScheduler::segmentsFinished() const
{
    return int(std::count_if(segments.begin(), segments.end(), [](const Segment &s) { return s.finished; }));
}
