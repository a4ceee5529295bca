#include "segmentscheduler.h"

#include "inputprobing.h"
#include "offthread.h"
#include "partsopening.h"
#include "segmentcheck.h"
#include "segmentsoutput.h"

#include "encoderrun/filtercontext.h"
#include "files/pathtext.h"
#include "jobtypes/jobmessages.h"
#include "parts/claimkeeper.h"
#include "parts/holderwatch.h"
#include "parts/partclaim.h"

#include <QTimer>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using PathText::absolute;
using PathText::native;
using Segment = SegmentTable::Segment;

namespace {

// The niceness of a segment's check: the least share of a busy core, never none.
constexpr int checkNiceness = 19;

} // namespace

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
    , goOnTimer(new QTimer(this))
{
    goOnTimer->setSingleShot(true);
    goOnTimer->setInterval(0);
    connect(goOnTimer, &QTimer::timeout, this, &SegmentScheduler::goOn);
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
    if (stopping()) {
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
        enter(Stage::Ended);
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
    if (finishedByAnother() || !openParts(probe, total))
        return;
    if (settings.exactSeamsOnly && !seamsAllExact()) {
        closeSeams({}, {seamStep > 0 ? QStringLiteral("the parts folder's plan cuts where a seam cannot be exact")
                                     : closedBecause});
        return;
    }
    enter(Stage::Encoding);
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
    // Unless a stop that came with the progress ended the job already.
    if (stage != Stage::Encoding)
        return;
    claimKeeper->start();
    schedule();
}

// The parts folder is made, checked, taken over or discarded, and the plan recorded or made
// anew; false when the job ends here instead (left to others, or failed).
bool SegmentScheduler::openParts(const InputProbe &probe, qint64 total)
{
    parts = std::make_unique<PartsFolder>(settings.output);
    // A job that only joins another's work never starts the job afresh.
    if (settings.joinOnly && !parts->hasJob()) {
        parts.reset();
        leaveToOthers(QStringLiteral("The job's parts folder %1 is gone: it is another process's to finish.")
                          .arg(native(PartsFolder(settings.output).path())));
        return false;
    }
    PartsOpening opening(settings, parts.get());
    const bool opened = opening.open(probe, total, encoders, &presence);
    for (const QString &line : opening.lines())
        emit message(line);
    if (!opened) {
        fail(opening.failure(), opening.problem());
        return false;
    }
    segments.plan(opening.plan(), *parts);
    seamStep = opening.exactSeams() ? opening.seamSupport().cutStep() : 0;
    if (seamStep == 0)
        closedBecause = opening.lines().value(opening.lines().size() - 1);
    return true;
}

// Every seam of the plan can be exact: the plan cuts at the encoder's exact step, and each
// segment overlaps the next.
bool SegmentScheduler::seamsAllExact() const
{
    bool exact = seamStep > 0;
    for (int i = 0; exact && i + 1 < segments.size(); ++i)
        exact = overlaps(i);
    return exact;
}

void SegmentScheduler::enter(Stage next)
{
    stage = next;
    // The output's claim is held while this process makes the output, and while an output step
    // that a stop or an abort interrupts comes to its end.
    if (next != Stage::MakingOutput && next != Stage::Stopping && next != Stage::Aborting)
        output->releaseClaim();
}

// Nothing new starts any more; the job ends once nothing of it runs.
void SegmentScheduler::windDown()
{
    if (stage == Stage::Probing || stage == Stage::Encoding || stage == Stage::MakingOutput)
        enter(Stage::Ending);
}

// The output step handed segments back to be encoded again: this process encodes them, unless
// it stops.
void SegmentScheduler::backToSegments()
{
    if (stage == Stage::MakingOutput)
        enter(Stage::Encoding);
    goOn();
}

// Another process on the same job made the output and removed the parts folder meanwhile: the
// job is done, whatever this process was doing (a stop included). It says so once, stops what
// runs and ends once nothing of it runs, at once when nothing was planned yet.
bool SegmentScheduler::finishedByAnother()
{
    const QString made = output->madeElsewhere();
    if (made.isEmpty())
        return false;
    if (pending.madeElsewhere(made))
        emit message(made);
    if (stage != Stage::Aborting && stage != Stage::Ended)
        enter(Stage::Ending);
    if (segments.empty()) {
        finish(pending);
        return true;
    }
    segments.stopRuns();
    goOn();
    return true;
}

void SegmentScheduler::goOn()
{
    endSegments();
    schedule();
}

void SegmentScheduler::goOnLater()
{
    goOnTimer->start();
}

void SegmentScheduler::schedule()
{
    if (stage != Stage::Encoding)
        return;
    int runningNow = segments.running();
    // Until the first command line has been shown, one encoder only: the box is answered once.
    const int allowed = shownCommandLine.isEmpty() ? 1 : encoders;
    for (int index = 0; index < segments.size() && runningNow < allowed; ++index) {
        if (segments[index].phase != SegmentTable::Open)
            continue;
        if (!claim(index)) {
            if (stage != Stage::Encoding)
                return;
            continue;
        }
        startSegment(index);
        // A run that cannot even start may end the job.
        if (stage != Stage::Encoding)
            return;
        ++runningNow;
        if (shownCommandLine.isEmpty())
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
    const bool made = finishedByAnother();
    if (maker.isEmpty() && !made)
        return true;
    segments.release(index);
    if (!made)
        leaveToOthers(maker);
    return false;
}

// The run that encodes the segment into its partial file (one left from before goes): the
// job's settings, from the segment's first picture on for as many pictures as it holds.
EncoderRun *SegmentScheduler::newRun(int index)
{
    const SegmentPlan::Segment &span = segments[index].span;
    JobSettings part = runSettings;
    part.output = parts->partialPath(span.first);
    part.startPicture = span.first;
    part.pictureLimit = span.count;
    // The seek finds the first picture the run reads: the segment's, or the first of those
    // before it that the encoder's temporal filter looks at.
    const qint64 readFrom = span.first - FilterContext::of(part, false).before();
    if (readFrom > 0 && readFrom <= pictureTimes.size())
        part.previousPictureTime = pictureTimes.at(readFrom - 1);
    if (span.count < 0 && runSettings.pictureLimit >= 0)
        part.pictureLimit = runSettings.pictureLimit - (span.first - runSettings.startPicture);
    parts->discardPartial(span.first);
    auto *run = new EncoderRun(part, this);
    run->setPart(overlaps(index) ? EncoderRun::Part::SegmentAndNext : EncoderRun::Part::Segment);
    run->setRoute(route);
    // With several encoders at once, each line of the encoders' output says whose it is.
    if (encoders > 1)
        run->setLinePrefix(QStringLiteral("[%1] ").arg(segments.label(index)));
    return run;
}

void SegmentScheduler::startSegment(int index)
{
    EncoderRun *run = newRun(index);
    segments.started(index, run);
    connect(run, &EncoderRun::readsInputTwice, this, [this] { route = EncoderRun::Route::CompleteFile; });
    connect(run, &EncoderRun::stageChanged, this, [this] { reportProgress(true); });
    emit message(QStringLiteral("Segment %1: pictures %2.")
                     .arg(segments.label(index), SegmentTable::spanText(segments[index].span)));

    // The segment's partial file as it is once the command line was shown (and answered) tells
    // whether the encoder wrote it.
    connect(run, &EncoderRun::commandLineReady, this, [this, index](const QString &commandLine) {
        announce(commandLine);
        segments.encoderStarting(index, *parts);
    });
    connect(run, &EncoderRun::progressed, this, [this, index](qint64 pictures) {
        segments.progressed(index, pictures);
        reportProgress(false);
    });
    connect(run, &EncoderRun::encoderOutput, this, &JobPath::encoderOutput);
    // What a segment's decode says (the pictures' format, a hint) is said once for the job.
    connect(run, &EncoderRun::message, this, &SegmentScheduler::sayOnce);
    connect(run, &EncoderRun::warning, this, &JobPath::warning);
    connect(run, &EncoderRun::finished, this, [this, index] { segmentEnded(index); });
    run->start();
}

// The first segment's command line is shown once, with how many more follow.
void SegmentScheduler::announce(const QString &commandLine)
{
    if (!shownCommandLine.isEmpty())
        return;
    const int others = segments.size() - segments.finished() - 1;
    QString shown = commandLine;
    if (others > 0)
        shown += QStringLiteral("\n\n%1 more segment%2 follow%3 with the same command line, each with "
                                "its own input and bitstream, up to %4 encoders at once.")
                     .arg(others).arg(others == 1 ? "" : "s").arg(others == 1 ? "s" : "").arg(encoders);
    emit commandLineReady(shown);
    shownCommandLine = shown;
    // The others start once the box is answered.
    goOnLater();
}

void SegmentScheduler::segmentEnded(int index)
{
    const EncoderRun::Outcome outcome = segments.runEnded(index);
    const EncoderRun::Outcome::Verdict &verdict = outcome.verdict;
    // Not every picture reached the segment's encoder: the job's result says why, as the feed did.
    if (!verdict.picturesMissing.isEmpty())
        pending.picturesMissed(verdict.picturesMissing);
    const Segment &segment = segments[index];
    // A process held up for longer than the claim timeout (stopped, or blocked writing to a
    // pipe nobody reads) may come back to find its segment taken over: then whatever its
    // encoder did is not this process's to keep, or to fail the job with.
    if (!segment.claim->refresh()) {
        leaveSegment(index);
        return;
    }
    if (verdict.kind == EncoderRun::Outcome::Encoded && verdict.exitCode == 0 && !verdict.crashed) {
        // The check runs on a thread of its own, beside the next segment's encoder: the
        // encoder is not kept waiting for the decode that proves this one.
        checkSegment(index, outcome);
        schedule();
        return;
    }
    parts->discardPartial(segment.span.first);
    segments.release(index);
    if (verdict.kind == EncoderRun::Outcome::Failed && verdict.failure == JobResult::StartPastEnd && !stopping()) {
        // The input ends before this segment: the plan shrinks, the job goes on.
        inputEndsAt(outcome.pictures.inputPictures);
        goOn();
        return;
    }
    segmentFailed(index, outcome);
    goOn();
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
    segments.checking(index);
    const Segment &segment = segments[index];
    auto problem = std::make_shared<QString>();
    PartsFolder *folder = parts.get();
    const SegmentPlan::Segment span = segment.span;
    const OutputGuard::Stamp before = segment.before;
    const PartClaim *claim = segment.claim.get();
    checks->run([folder, span, outcome, before, claim, problem, settings = settings] {
            // The check (a decode of every picture) gives way to the encoders, which it runs
            // beside: on a machine they keep busy it takes what they leave of the cores, the
            // gaps between segments and the end, rather than slowing them down. The thread is
            // this check's alone; the decoding threads it starts inherit its niceness.
            setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), checkNiceness);
            *problem = SegmentCheck::keep(folder, span, outcome, before, claim, settings);
        },
        [this, index, pictures = outcome.pictures, problem] { segmentChecked(index, pictures, *problem); });
}

void SegmentScheduler::segmentChecked(int index, const EncoderRun::Outcome::Pictures &pictures,
                                      const QString &problem)
{
    segments.checked(index);
    if (!problem.isEmpty() && finishedByAnother())
        return;
    const Segment &segment = segments[index];
    // Taken over while it was checked (the claim is refreshed meanwhile, but this process may
    // have been held up): the segment is the other process's.
    if (!segment.claim->refresh()) {
        leaveSegment(index);
        return;
    }
    if (problem.isEmpty()) {
        segments.finish(index);
        picturesThisRun += segment.pictures;
        keptHere << segment.span.first;
    } else {
        if (!stopping()
            && pending.cannotKeep(QStringLiteral("%1 cannot be kept: %2.").arg(segments.describe(index), problem))) {
            parts->discardPartial(segment.span.first);
            segments.stopRuns();
            windDown();
        }
        segments.release(index);
    }
    reportProgress(true);
    const bool finished = segment.phase == SegmentTable::Finished;
    if (finished && pictures.reachedEnd && (segment.span.count < 0 || segment.pictures < segment.span.count)) {
        // A raw file cut short while the run read it may have lost more pictures since.
        const qint64 end = segment.span.first + segment.pictures;
        inputEndsAt(pictures.inputPictures >= 0 ? qMin(end, pictures.inputPictures) : end);
    }
    // The segment that runs to the input's end tells where that is.
    if (finished && segment.span.count < 0)
        expectedPictures = segment.span.first + segment.pictures - settings.startPicture;
    goOn();
}

// A run that could not go on fails the job; an encoder that failed stops the others, and the
// job reports its code as a job in one piece does.
void SegmentScheduler::segmentFailed(int index, const EncoderRun::Outcome &outcome)
{
    const EncoderRun::Outcome::Verdict &verdict = outcome.verdict;
    if (verdict.kind == EncoderRun::Outcome::Failed) {
        pending.runFailed(verdict.failure, verdict.message);
        segments.stopRuns();
        windDown();
        return;
    }
    if (verdict.kind != EncoderRun::Outcome::Encoded || stopping()
        || !pending.encoderFailed(verdict.exitCode, verdict.crashed))
        return;
    emit message(JobMessages::encoderEndLine(segments.describe(index), verdict.exitCode, verdict.crashed,
                                             verdict.crashed ? QString() : QString::number(outcome.pictures.given)));
    segments.stopRuns();
    windDown();
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
    if (index >= 0 && segments[index].phase == SegmentTable::Encoding)
        leaveSegment(index);
}

// The segment was taken over by another process, which found this one gone or its claim
// unrefreshed for the timeout: it is theirs now, and what this process made of it goes. Its run
// ends without finished(), so the job goes on from here: it ends if it is stopping, and
// otherwise takes up other work.
void SegmentScheduler::leaveSegment(int index)
{
    emit message(QStringLiteral("Segment %1 was taken over by another process; it is left to it.")
                     .arg(segments.label(index)));
    segments.leave(index, *parts);
    goOnLater();
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
        goOnLater();
        return;
    }
    reportProgress(true);
    if (look.held == 0) {
        goOnLater();
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
    enter(Stage::MakingOutput);
    output->start(segments.firsts(), facts);
    // Once the output step runs: a stop that comes with this progress waits for its end.
    reportProgress(true);
}

// Kept segments that no longer check out (cut short, edited): encoded again.
void SegmentScheduler::redoSegments(const QList<int> &indexes)
{
    // Segments gone rather than changed: another process made the output and removed them.
    if (finishedByAnother())
        return;
    for (int index : indexes) {
        emit message(QStringLiteral("Segment %1 no longer matches its record: it is encoded again.")
                         .arg(segments.label(index)));
        segments.redo(index, *parts);
    }
    backToSegments();
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
    // Closed seams will not do: the job ends, and its caller encodes the input in one piece.
    if (settings.exactSeamsOnly) {
        if (!seams.isEmpty())
            output->rememberClosedSeams(reasons.first());
        pending.seamsNotExact = seams.isEmpty() ? reasons.first()
                                                : QStringLiteral("the seam between segments %1 and %2 is not exact: %3")
                                                      .arg(segments.label(seams.first()),
                                                           segments.label(seams.first() + 1), reasons.first());
        fail(JobResult::SegmentUnfit, pending.seamsNotExact);
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
    backToSegments();
}

// What is left of the job is another process's to do: this one says so and ends.
void SegmentScheduler::leaveToOthers(const QString &line)
{
    pending.leave(line);
    emit message(line);
    windDown();
    goOn();
}

void SegmentScheduler::outputMade(const OutputResult &made)
{
    // Segments gone from under the join: another process made the output and removed them.
    if (made.outcome == OutputResult::NotJoined && finishedByAnother())
        return;
    pending.keptAs = made.kept;
    if (output->account(made, &pending)) {
        parts->remove();
        parts.reset();
    }
    windDown();
    goOn();
}

void SegmentScheduler::fail(JobResult::Failure failure, const QString &text)
{
    // A folder that went away under this process may simply be a job another one finished.
    if (failure == JobResult::PartsUnusable && finishedByAnother())
        return;
    pending.fail(failure, text);
    windDown();
    if (!segments.empty()) {
        segments.stopRuns();
        goOn();
        return;
    }
    // Nothing runs yet.
    if (!helpersBusy())
        finish(pending);
}

// Ends a job in segments once nothing of it runs any more.
void SegmentScheduler::endSegments()
{
    if (stage == Stage::Ended || helpersBusy() || segments.running() > 0)
        return;
    // Still work to do, unless stopped, failed, left to others or done.
    if (stage == Stage::Probing || stage == Stage::Encoding || stage == Stage::MakingOutput)
        return;
    // Stopped as another process made the output and removed the folder: the job is done.
    if (stage == Stage::Stopping && parts && finishedByAnother())
        return;
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
    if (stopping() && result.failure == JobResult::NoFailure && parts) {
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
    const bool told = stage != Stage::Aborting;
    enter(Stage::Ended);
    goOnTimer->stop();
    claimKeeper->stop();
    holderWatch->stop();
    segments.releaseClaims();
    presence.reset();
    // Another process made the output: the segments this process kept meanwhile serve nobody
    // (their job record went with the output's making) and go too, then the folder if it is
    // left empty.
    if (parts && !output->madeElsewhere().isEmpty())
        for (qint64 first : std::as_const(keptHere))
            parts->discardSegment(first);
    output->removeFolderLeftEmpty();
    if (told)
        emit finished(result);
}

void SegmentScheduler::stop()
{
    if (stopping() || stage == Stage::Ended)
        return;
    enter(Stage::Stopping);
    probing->stop();
    output->stop();
    segments.stopRuns();
    endSegments();
}

void SegmentScheduler::abort()
{
    if (stage == Stage::Ended && !helpersBusy())
        return;
    if (stage != Stage::Ended)
        enter(Stage::Aborting);
    probing->stop();
    segments.dropRuns(parts.get());
    output->abort();
    probing->abort();
    checks->wait();
    if (stage != Stage::Ended)
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
