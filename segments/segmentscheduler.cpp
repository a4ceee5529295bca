#include "segmentscheduler.h"

#include "inputprobing.h"
#include "offthread.h"
#include "partsopening.h"
#include "segmentcheck.h"
#include "segmentsoutput.h"

#include "files/pathtext.h"
#include "jobtypes/jobmessages.h"
#include "parts/claimkeeper.h"
#include "parts/holderwatch.h"
#include "parts/partclaim.h"

#include <QTimer>

using PathText::absolute;
using PathText::native;
using Segment = SegmentTable::Segment;


SegmentScheduler::SegmentScheduler(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent)
    : JobPath(parent)
    , settings(settings)
    , runSettings(settings)
    , ticker(jobClock)
    , encoders(qMax(1, settings.parallelEncoders))
    , probing(new InputProbing(settings, jobClock, this))
    , output(new SegmentsOutput(settings, jobClock, this))
    // Looks at the segments others hold often enough that the last process starts on the output
    // soon after the last segment is done; a look reads a few small files.
    , holderWatch(new HolderWatch(250, this))
    , checks(new OffThread(this))
    , claimKeeper(new ClaimKeeper([this] { return claimsHeld(); }, this))
{
    connect(claimKeeper, &ClaimKeeper::lost, this, &SegmentScheduler::claimLost);
    connect(claimKeeper, &ClaimKeeper::refreshed, output, &SegmentsOutput::refreshClaim);
    connect(holderWatch, &HolderWatch::message, this, &JobPath::message);
    connect(holderWatch, &HolderWatch::lookAgain, this, &SegmentScheduler::watchOthers);
    connect(probing, &InputProbing::progressChanged, this, &JobPath::progressChanged);
    connect(probing, &InputProbing::message, this, &JobPath::message);
    connect(probing, &InputProbing::probed, this, &SegmentScheduler::probed);
    connect(output, &SegmentsOutput::message, this, &JobPath::message);
    connect(output, &SegmentsOutput::redo, this, &SegmentScheduler::redoSegments);
    connect(output, &SegmentsOutput::seamsNotProven, this, &SegmentScheduler::closeSeams);
    connect(output, &SegmentsOutput::finished, this, &SegmentScheduler::outputMade);
    connect(checks, &OffThread::message, this, &JobPath::message);
}

SegmentScheduler::~SegmentScheduler()
{
    abort();
}

void SegmentScheduler::start()
{
    output->noteOutput();
    probing->start();
}

void SegmentScheduler::probed(const InputProbe &probe)
{
    if (stopping) {
        JobResult stopped;
        stopped.outcome = JobResult::Stopped;
        finish(stopped);
        return;
    }
    // Said once, though every segment's feed finds it too.
    if (!probe.leftover.isEmpty())
        sayOnce(probe.leftover);
    qint64 total = probe.pictures - settings.startPicture;
    if (settings.pictureLimit >= 0)
        total = qMin(total, settings.pictureLimit);
    if (!probe.problem.isEmpty() || total <= 0) {
        if (!probe.problem.isEmpty() && !probe.unopened)
            emit message(QStringLiteral("The input is encoded in one piece: %1.").arg(probe.problem));
        ended = true;
        emit inOnePiece();
        return;
    }
    if (probe.counted)
        emit message(QStringLiteral("The video stream of %1 states no picture count of its own: %2 picture%3 counted.")
                         .arg(native(absolute(settings.input))).arg(probe.pictures)
                         .arg(probe.pictures == 1 ? "" : "s"));
    facts = probe.facts;
    pictureTimes = probe.times;
    expectedPictures = total;
    declaredPictures = probe.exact ? total : 0;
    if (finishedByAnother())
        return;
    parts = std::make_unique<PartsFolder>(settings.output);
    // A job that only joins another's work never starts the job afresh.
    if (settings.joinOnly && !parts->hasJob()) {
        parts.reset();
        leaveToOthers(QStringLiteral("The job's parts folder %1 is gone: it is another process's to finish.")
                          .arg(native(PartsFolder(settings.output).path())));
        return;
    }
    PartsOpening opening(settings, parts.get());
    const bool opened = opening.open(probe, total, encoders, &presence);
    for (const QString &line : opening.lines())
        emit message(line);
    if (!opened) {
        fail(opening.failure(), opening.problem());
        return;
    }
    segments.plan(opening.plan(), *parts);
    seamStep = opening.exactSeams() ? opening.seamSupport().cutStep() : 0;
    bool exact = seamStep > 0;
    for (int i = 0; exact && i + 1 < segments.size(); ++i)
        exact = overlaps(i);
    if (settings.exactSeamsOnly && !exact) {
        closeSeams({}, {seamStep > 0 ? QStringLiteral("the parts folder's plan cuts where a seam cannot be exact")
                                     : opening.lines().value(opening.lines().size() - 1)});
        return;
    }
    // A segment's encoder whose temporal filter reads around it gets the job's pictures there,
    // or those of the longer encode the job itself is a stretch of.
    if (settings.contextFirst < 0) {
        runSettings.contextFirst = settings.startPicture;
        runSettings.contextEnd = settings.pictureLimit >= 0 ? settings.startPicture + settings.pictureLimit : -1;
    }
    segments.lookForFinished(*parts);
    reportProgress(true);
    const int kept = segments.finished();
    if (kept > 0)
        emit message(QStringLiteral("Resuming: %1 of %2 segments already encoded.").arg(kept).arg(segments.size()));

    claimKeeper->start();
    schedule();
}

// Another process on the same job made the output and removed the parts folder while this one
// looked at the input or the folder: the job is done, and this process says so and ends.
bool SegmentScheduler::finishedByAnother()
{
    const QString made = output->madeElsewhere();
    if (made.isEmpty())
        return false;
    if (pending.madeElsewhere(made))
        emit message(made);
    if (segments.empty()) {
        parts.reset();
        presence.reset();
        finish(pending);
    } else {
        segments.stopRuns();
        endSegments();
    }
    return true;
}

void SegmentScheduler::schedule()
{
    if (ended || stopping || makingOutput || pending.halted())
        return;
    int runningNow = segments.running();
    // Until the first command line has been shown, one encoder only: the box is answered once.
    const int allowed = announced ? encoders : 1;
    for (int index = 0; index < segments.size() && runningNow < allowed; ++index) {
        if (!segments[index].open())
            continue;
        if (!claim(index)) {
            if (ended || pending.failed() || pending.leftToOthers())
                return;
            continue;
        }
        startSegment(index);
        ++runningNow;
        if (!announced)
            break;
    }
    if (runningNow > 0 || checks->busy())
        return;
    if (segments.finished() == segments.size()) {
        makeOutput();
        return;
    }
    watchOthers();
}

// Takes the segment's claim; false when another process holds it, or it turns out finished.
bool SegmentScheduler::claim(int index)
{
    QString line;
    const PartClaim::Take take = segments.take(index, *parts, &line);
    if (take == PartClaim::Unusable)
        fail(JobResult::PartsUnusable, line);
    else if (!line.isEmpty())
        emit message(line);
    if (take != PartClaim::Taken)
        return false;
    // A process makes the output only once every segment is finished: a segment found
    // unfinished while it does is one whose files it is removing with the folder, the output
    // made. It is not encoded again; the job is done, or about to be.
    const QString maker = output->claimedElsewhere();
    if (maker.isEmpty() && output->madeElsewhere().isEmpty())
        return true;
    segments[index].claim->release();
    if (!finishedByAnother())
        leaveToOthers(maker);
    return false;
}

void SegmentScheduler::startSegment(int index)
{
    // Whether the encoder was seen reading its input twice: then the pictures go through a
    // complete file from the start.
    EncoderRun *run = segments.newRun(index, runSettings, *parts, pictureTimes, readsInputTwice, encoders > 1, this);
    run->setOverlap(overlaps(index));
    connect(run, &EncoderRun::readsInputTwice, this, [this] { readsInputTwice = true; });
    connect(run, &EncoderRun::stageChanged, this, [this] { reportProgress(true); });
    emit message(QStringLiteral("Segment %1: pictures %2.")
                     .arg(segments.label(index), SegmentTable::spanText(segments[index].span)));

    connect(run, &EncoderRun::commandLineReady, this, &SegmentScheduler::announce);
    connect(run, &EncoderRun::progressed, this, [this, index](qint64 pictures) {
        segments[index].pictures = pictures;
        reportProgress(false);
    });
    connect(run, &EncoderRun::encoderOutput, this, &JobPath::encoderOutput);
    // What a segment's decode says (the pictures' format, a hint) is said once for the job.
    connect(run, &EncoderRun::message, this, &SegmentScheduler::sayOnce);
    connect(run, &EncoderRun::warning, this, [this](const QString &title, const QString &text) {
        pending.picturesMissed(text);
        emit warning(title, text);
    });
    connect(run, &EncoderRun::finished, this, [this, index] { segmentEnded(index); });
    run->start();
}

// The first segment's command line is shown once, with how many more follow.
void SegmentScheduler::announce(const QString &commandLine)
{
    if (announced)
        return;
    const int others = segments.size() - segments.finished() - 1;
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
    const EncoderRun::Outcome outcome = segments.takeOutcome(index);
    Segment &segment = segments[index];
    // A process held up for longer than the claim timeout (stopped, or blocked writing to a
    // pipe nobody reads) may come back to find its segment taken over: then whatever its
    // encoder did is not this process's to keep, or to fail the job with.
    if (!segment.claim->refresh()) {
        leaveSegment(index);
        return;
    }
    if (outcome.kind == EncoderRun::Outcome::Encoded && outcome.exitCode == 0 && !outcome.crashed) {
        checkSegment(index, outcome);
        return;
    }
    parts->discardPartial(segment.span.first);
    segment.claim->release();
    if (outcome.kind == EncoderRun::Outcome::Failed && outcome.failure == JobResult::StartPastEnd && !stopping) {
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
// A segment that was given pictures at or past that end read them from an input that has
// changed since (a raw file cut short while the job runs): the job fails, saying so, rather
// than join pictures the input no longer holds, or start the segments past its end again.
void SegmentScheduler::inputEndsAt(qint64 end)
{
    const int holding = segments.holdingFrom(end);
    if (holding >= 0) {
        fail(JobResult::InputUnusable,
             QStringLiteral("The input changed while the job ran.\n%1 has no picture %2 any more, yet segment %3 "
                            "was encoded from its pictures %4 before: start the job again to encode the input as "
                            "it is now.")
                 .arg(native(absolute(settings.input))).arg(end)
                 .arg(segments.label(holding), SegmentTable::spanText(segments[holding].span)));
        return;
    }
    const int first = segments.firstFrom(end);
    if (first < 0)
        return;
    emit message(segments.droppedLine(first, end));
    segments.dropFrom(first, *parts);
    if (!segments.empty() && segments[segments.size() - 1].span.count < 0)
        return;
    expectedPictures = end - settings.startPicture;
    if (settings.pictureLimit >= 0)
        expectedPictures = qMin(expectedPictures, settings.pictureLimit);
}

// The segment counts as finished once its bitstream checks out, and is then kept with its
// record: the pictures' times for the container, whether it ends the input, and its pictures
// as the encoder reported them, for the report.
void SegmentScheduler::checkSegment(int index, const EncoderRun::Outcome &outcome)
{
    Segment &segment = segments[index];
    segment.checking = true;
    auto problem = std::make_shared<QString>();
    PartsFolder *folder = parts.get();
    const SegmentPlan::Segment span = segment.span;
    const PartClaim *claim = segment.claim.get();
    checks->run([folder, span, outcome, claim, problem] { *problem = SegmentCheck::keep(folder, span, outcome, claim); },
        [this, index, problem] { segmentChecked(index, *problem); });
}

void SegmentScheduler::segmentChecked(int index, const QString &problem)
{
    Segment &segment = segments[index];
    segment.checking = false;
    if (!problem.isEmpty() && finishedByAnother())
        return;
    // Taken over while it was checked (the claim is refreshed meanwhile, but this process may
    // have been held up): the segment is the other process's.
    if (!segment.claim->refresh()) {
        leaveSegment(index);
        return;
    }
    if (problem.isEmpty()) {
        segment.finished = true;
        picturesThisRun += segment.pictures;
    } else if (!stopping
               && pending.cannotKeep(QStringLiteral("%1 cannot be kept: %2.").arg(segments.describe(index), problem))) {
        parts->discardPartial(segment.span.first);
        segments.stopRuns();
    }
    segment.claim->release();
    reportProgress(true);
    if (segment.finished && segment.reachedEnd && (segment.span.count < 0 || segment.pictures < segment.span.count)) {
        // A raw file cut short while the run read it may have lost more pictures since.
        const qint64 end = segment.span.first + segment.pictures;
        inputEndsAt(segment.inputPictures >= 0 ? qMin(end, segment.inputPictures) : end);
    }
    // The segment that runs to the input's end tells where that is.
    if (segment.finished && segment.span.count < 0)
        expectedPictures = segment.span.first + segment.pictures - settings.startPicture;
    endSegments();
    if (!ended && !stopping)
        schedule();
}

// A run that could not go on fails the job; an encoder that failed stops the others, and the
// job reports its code as a job in one piece does.
void SegmentScheduler::segmentFailed(int index, const EncoderRun::Outcome &outcome)
{
    if (outcome.kind == EncoderRun::Outcome::Failed) {
        pending.runFailed(outcome.failure, outcome.message);
        segments.stopRuns();
        return;
    }
    if (outcome.kind != EncoderRun::Outcome::Encoded || stopping
        || !pending.encoderFailed(outcome.exitCode, outcome.crashed))
        return;
    emit message(JobMessages::encoderEndLine(segments.describe(index), outcome.exitCode, outcome.crashed,
                                             outcome.crashed ? QString() : QString::number(outcome.pictures)));
    segments.stopRuns();
}

QList<PartClaim *> SegmentScheduler::claimsHeld() const
{
    QList<PartClaim *> claims = segments.claimsInHand();
    if (presence)
        claims << presence.get();
    return claims;
}

void SegmentScheduler::claimLost(PartClaim *claim)
{
    // One being checked is left by segmentChecked(), which finds the claim lost.
    const int index = segments.indexOf(claim);
    if (index >= 0 && segments[index].run)
        leaveSegment(index);
}

// The segment was taken over by another process, which found this one gone or its claim
// unrefreshed for the timeout: it is theirs now, and what this process made of it goes. Its run
// ends without finished(), so the job goes on from here: it ends if it is stopping, and
// otherwise takes up other work.
void SegmentScheduler::leaveSegment(int index)
{
    Segment &segment = segments[index];
    emit message(QStringLiteral("Segment %1 was taken over by another process; it is left to it.")
                     .arg(segments.label(index)));
    if (segment.run)
        segments.dropRun(index);
    segment.pictures = 0;
    parts->discardPartial(segment.span.first);
    QTimer::singleShot(0, this, [this] {
        endSegments();
        schedule();
    });
}

// Nothing left to take: every other segment is finished or held by another process. Segments
// whose holder goes are taken over; once every holder is seen alive, this process leaves the
// rest to them.
void SegmentScheduler::watchOthers()
{
    segments.lookForFinished(*parts);
    const HolderWatch::Look look = HolderWatch::look(segments.openClaims());
    if (look.holderGone) {
        // Its holder is gone: take it over at once.
        QTimer::singleShot(0, this, &SegmentScheduler::schedule);
        return;
    }
    reportProgress(true);
    if (look.held == 0) {
        QTimer::singleShot(0, this, &SegmentScheduler::schedule);
        return;
    }
    if (look.allSeenAlive && settings.noWait)
        leaveToOthers(SegmentTable::leftLine(look));
    else
        holderWatch->waitFor(look, SegmentTable::waitingLine(look));
}

// Every segment is finished: the process that claims the output checks every segment whole
// against its record (one edited since is encoded again) and hands them to the output step.
void SegmentScheduler::makeOutput()
{
    const QString elsewhere = output->claim();
    if (!elsewhere.isEmpty()) {
        leaveToOthers(elsewhere);
        return;
    }
    makingOutput = true;
    reportProgress(true);
    output->start(segments.firsts(), facts);
}

// Kept segments that no longer check out (cut short, edited): encoded again.
void SegmentScheduler::redoSegments(const QList<int> &indexes)
{
    makingOutput = false;
    // Segments gone rather than changed: another process made the output and removed them.
    if (!output->madeElsewhere().isEmpty()) {
        output->releaseClaim();
        finishedByAnother();
        return;
    }
    for (int index : indexes) {
        emit message(QStringLiteral("Segment %1 no longer matches its record: it is encoded again.")
                         .arg(segments.label(index)));
        segments.redo(index, *parts);
    }
    output->releaseClaim();
    schedule();
}

// Whether the segment's encoder also codes the next segment's first picture: seams may be
// exact, and both segments start where one piece starts an intra period, so that the encoder
// codes that picture as the intra picture one piece codes there.
bool SegmentScheduler::overlaps(int index) const
{
    if (seamStep <= 0 || index + 1 >= segments.size() || segments[index].span.count < 0)
        return false;
    const qint64 first = segments[index].span.first - settings.startPicture;
    const qint64 next = segments[index + 1].span.first - settings.startPicture;
    return first % seamStep == 0 && next % seamStep == 0;
}

// Seams whose two copies differ are never joined exactly: the segment before each is encoded
// again the closed way, and this encoder and configuration give closed seams from now on, in
// this job and, through the job record, in later runs of it.
void SegmentScheduler::closeSeams(const QList<int> &seams, const QStringList &reasons)
{
    makingOutput = false;
    // Closed seams will not do: the job ends, and its caller encodes the input in one piece.
    if (settings.exactSeamsOnly) {
        if (!seams.isEmpty())
            output->rememberClosedSeams(reasons.first());
        pending.seamsNotExact = seams.isEmpty() ? reasons.first()
                                                : QStringLiteral("the seam between segments %1 and %2 is not exact: %3")
                                                      .arg(segments.label(seams.first()),
                                                           segments.label(seams.first() + 1), reasons.first());
        pending.fail(JobResult::SegmentUnfit, pending.seamsNotExact);
        output->releaseClaim();
        endSegments();
        return;
    }
    seamStep = 0;
    for (int i = 0; i < seams.size(); ++i) {
        const int index = seams.at(i);
        emit message(QStringLiteral("The seam between segments %1 and %2 is not exact: %3. %4 is encoded again the "
                                    "closed way.")
                         .arg(segments.label(index), segments.label(index + 1), reasons.at(i),
                              segments.describe(index)));
        segments.redo(index, *parts);
    }
    emit message(output->rememberClosedSeams(reasons.first()));
    output->releaseClaim();
    schedule();
}

// What is left of the job is another process's to do: this one says so and ends.
void SegmentScheduler::leaveToOthers(const QString &line)
{
    pending.leave(line);
    emit message(line);
    endSegments();
}

void SegmentScheduler::outputMade(const OutputResult &made)
{
    makingOutput = false;
    // Segments gone from under the join: another process made the output and removed them.
    if (made.outcome == OutputResult::NotJoined && !output->madeElsewhere().isEmpty()) {
        output->releaseClaim();
        finishedByAnother();
        return;
    }
    pending.keptAs = made.kept;
    if (output->account(made, &pending)) {
        parts->remove();
        parts.reset();
    }
    endSegments();
}

void SegmentScheduler::fail(JobResult::Failure failure, const QString &text)
{
    // A folder that went away under this process may simply be a job another one finished.
    if (failure == JobResult::PartsUnusable && finishedByAnother())
        return;
    pending.fail(failure, text);
    if (!segments.empty()) {
        segments.stopRuns();
        endSegments();
        return;
    }
    // Nothing runs yet.
    if (!helpersBusy())
        finish(pending);
}

// Ends a job in segments once nothing of it runs any more.
void SegmentScheduler::endSegments()
{
    if (ended || makingOutput || helpersBusy() || segments.running() > 0)
        return;
    // Still work to do, unless stopped, failed, left to others or done (the folder gone).
    if (!stopping && !pending.settled() && parts)
        return;
    // Stopped after another process made the output and removed the folder: nothing is kept.
    if (stopping && parts) {
        const QString made = output->madeElsewhere();
        if (!made.isEmpty() && pending.madeElsewhere(made))
            emit message(made);
        if (!made.isEmpty())
            parts.reset();
    }
    // Segments other processes finished meanwhile are kept too, and counted.
    if (parts)
        segments.lookForFinished(*parts);
    JobResult result = pending;
    result.segmentsTotal = segments.size();
    result.segmentsKept = parts ? segments.finished() : 0;
    result.pictures = segments.pictures(true);
    if (!result.picturesMissing.isEmpty())
        result.picturesMeant = expectedPictures;
    // Stopped, unless the output was made meanwhile (the parts folder is gone then).
    if (stopping && result.failure == JobResult::NoFailure && parts) {
        result.outcome = JobResult::Stopped;
        result.pictures = picturesThisRun + segments.pictures(false);
    }
    if (parts && result.outcome == JobResult::Stopped)
        emit message(JobMessages::stoppedAfter(result.pictures));
    if (parts && (result.outcome != JobResult::Finished || result.exitCode != 0 || !result.outputProblem.isEmpty())
        && !segments.empty() && result.seamsNotExact.isEmpty())
        emit message(QStringLiteral("%1 of %2 segments are kept in %3; start the same job again to go on "
                                    "from there.")
                         .arg(result.segmentsKept).arg(result.segmentsTotal).arg(native(parts->path())));
    reportProgress(true);
    finish(result);
}

void SegmentScheduler::finish(JobResult result)
{
    ended = true;
    claimKeeper->stop();
    holderWatch->stop();
    output->releaseClaim();
    segments.releaseClaims();
    presence.reset();
    output->removeFolderLeftEmpty();
    if (!aborting)
        emit finished(result);
}

void SegmentScheduler::stop()
{
    if (stopping || ended)
        return;
    stopping = true;
    probing->stop();
    output->stop();
    segments.stopRuns();
    endSegments();
}

void SegmentScheduler::abort()
{
    if (ended && !helpersBusy())
        return;
    aborting = true;
    stopping = true;
    probing->stop();
    segments.dropRuns(parts.get());
    output->abort();
    probing->abort();
    checks->wait();
    if (!ended)
        finish(pending);
}

void SegmentScheduler::sayOnce(const QString &line)
{
    if (segmentMessages.contains(line))
        return;
    segmentMessages.insert(line);
    emit message(line);
}

bool SegmentScheduler::helpersBusy() const
{
    return probing->isRunning() || checks->busy() || output->isRunning();
}

void SegmentScheduler::reportProgress(bool force)
{
    if (!ticker.due(force))
        return;
    JobProgress progress;
    const qint64 running = segments.fill(&progress);
    progress.total = expectedPictures;
    progress.declaredTotal = declaredPictures;
    ticker.complete(&progress, picturesThisRun + running);
    emit progressChanged(progress);
}
