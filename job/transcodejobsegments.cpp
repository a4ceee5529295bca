// The part of TranscodeJob that runs a job in segments: the input probed and cut, the parts
// folder opened and its kept segments taken over, segments handed to runs under claims and
// checked when their encoders end, other processes' segments watched, and the output made once
// every segment is finished.

#include "transcodejob.h"

#include "encoderconfigfile.h"
#include "pathtext.h"
#include "partclaim.h"
#include "segmentrun.h"

#include "bitstream/outputrewriter.h"
#include "bitstream/segmentjoiner.h"
#include "bitstream/streaminspector.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include <sys/stat.h>

namespace {

using PathText::absolute;
using PathText::native;

// How often a process that has nothing left to do looks at the segments others hold.
constexpr int watchIntervalMs = 1000;

qint64 modifiedMs(const QFileInfo &info)
{
    return info.lastModified().toMSecsSinceEpoch();
}

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

void TranscodeJob::startSegments()
{
    encoders = qMax(1, settings.parallelEncoders);
    auto probe = std::make_shared<InputProbe>();
    const QString input = settings.input;
    const QString config = settings.config;
    offThread([input, config, probe] { *probe = InputProbe::probe(input, config); },
              [this, probe] { onProbed(*probe); });
}

void TranscodeJob::onProbed(const InputProbe &probe)
{
    if (stopping) {
        JobResult stopped;
        stopped.outcome = JobResult::Stopped;
        finish(stopped);
        return;
    }
    qint64 total = probe.pictures - settings.startPicture;
    if (settings.pictureLimit >= 0)
        total = qMin(total, settings.pictureLimit);
    if (!probe.problem.isEmpty() || total <= 0) {
        // The one-piece run says what is wrong with the input, or the start, in its own words.
        if (!probe.problem.isEmpty())
            emit message(QStringLiteral("The input is encoded in one piece: %1.").arg(probe.problem));
        startOnePiece();
        return;
    }
    facts = probe.facts;
    expectedPictures = total;
    declaredPictures = total;
    if (!openParts(probe))
        return;
    reportProgress(true);
    const int kept = segmentsFinished();
    if (kept > 0)
        emit message(QStringLiteral("Resuming: %1 of %2 segments already encoded.").arg(kept).arg(segments.size()));

    claimTimer = new QTimer(this);
    connect(claimTimer, &QTimer::timeout, this, &TranscodeJob::refreshClaims);
    claimTimer->start(refreshIntervalMs());
    schedule();
}

PartsFolder::JobRecord TranscodeJob::recordFor(const InputProbe &probe) const
{
    PartsFolder::JobRecord record;
    const QFileInfo input(settings.input);
    record.input = input.absoluteFilePath();
    record.inputSize = input.size();
    record.inputModifiedMs = modifiedMs(input);
    EncoderConfigFile config;
    config.read(settings.config);
    record.configHash = QCryptographicHash::hash(config.contents(), QCryptographicHash::Sha256).toHex();
    const QFileInfo encoder(settings.encoder);
    record.encoder = encoder.absoluteFilePath();
    record.encoderSize = encoder.size();
    record.encoderModifiedMs = modifiedMs(encoder);
    record.width = probe.width;
    record.height = probe.height;
    record.startPicture = settings.startPicture;
    record.pictureLimit = settings.pictureLimit;
    qint64 total = probe.pictures - settings.startPicture;
    if (settings.pictureLimit >= 0)
        total = qMin(total, settings.pictureLimit);
    record.segmentLength = settings.segmentLength > 0
                               ? settings.segmentLength
                               : SegmentPlan::defaultLength(total, encoders, config.intValue(QStringLiteral("IntraPeriod"), 0));
    // Where the count is an estimate the last segment runs to the end of the input, unless a
    // limit ends it first.
    const bool openEnd = !probe.exact && settings.pictureLimit < 0;
    record.segments = SegmentPlan::cut(settings.startPicture, total, record.segmentLength, openEnd);
    return record;
}

bool TranscodeJob::openParts(const InputProbe &probe)
{
    parts = std::make_unique<PartsFolder>(settings.output);
    PartsFolder::JobRecord wanted = recordFor(probe);
    PartsFolder::JobRecord kept;
    const bool existed = parts->exists();
    QString problem = parts->make();   // refuses a link or a file in the folder's place
    // A link or a folder at a name the job writes is found before anything is encoded.
    if (problem.isEmpty())
        problem = parts->unfitName();
    if (!problem.isEmpty())
        return partsUnusable(problem);
    // Present from now on, so that no process with other settings discards what this one does.
    presence = std::make_unique<PartClaim>(parts->presenceClaimPath());
    if (!presence->tryTake())
        return partsUnusable(presence->error());
    const bool recorded = existed && parts->readJob(&kept, &problem);
    if (!problem.isEmpty())
        return partsUnusable(problem);

    QString discardReason;
    if (recorded) {
        discardReason = wanted.difference(kept);
        if (discardReason.isEmpty() && settings.segmentLength > 0 && settings.segmentLength != kept.segmentLength)
            discardReason = QStringLiteral("they were cut into segments of %1 pictures, not %2")
                                .arg(kept.segmentLength).arg(settings.segmentLength);
        if (discardReason.isEmpty() && settings.fresh)
            discardReason = QStringLiteral("--fresh asks for a fresh start");
    } else if (existed && !parts->keptSegments().isEmpty()) {
        discardReason = QStringLiteral("there is no record of what they were made from");
    }
    if (!discardReason.isEmpty()) {
        if (!discardKept(discardReason))
            return false;
        kept = PartsFolder::JobRecord();
    }
    if (!recorded || !discardReason.isEmpty()) {
        // Another process may have made the record a moment ago: then its plan is taken.
        problem = parts->writeJob(wanted, &kept);
        if (!problem.isEmpty())
            return partsUnusable(problem);
        const QString differs = wanted.difference(kept);
        if (!differs.isEmpty()) {
            fail(JobResult::PartsInUse,
                 QStringLiteral("The segments in %1 are being encoded by another process, and %2.\n"
                                "Nothing was changed.").arg(native(parts->path()), differs));
            return false;
        }
    }
    if (!coveringPlan(wanted, &kept))
        return false;
    for (const SegmentPlan::Segment &span : kept.segments) {
        Segment segment;
        segment.span = span;
        segment.claim = std::make_unique<PartClaim>(parts->claimPath(span.first));
        PartsFolder::SegmentRecord record;
        if (parts->finished(span.first, &record, false)) {
            segment.finished = true;
            segment.pictures = record.pictures;
        }
        segments.push_back(std::move(segment));
    }
    return true;
}

bool TranscodeJob::partsUnusable(const QString &problem)
{
    fail(JobResult::PartsUnusable,
         QStringLiteral("Cannot keep the segments in %1:\n%2.").arg(native(parts->path()), problem));
    return false;
}

// Removes every kept segment, saying why; refused while another process works on them.
bool TranscodeJob::discardKept(const QString &reason)
{
    const QString folder = native(parts->path());
    // Segments in another process's hands are never pulled away from under it.
    if (partsInUse()) {
        fail(JobResult::PartsInUse,
             QStringLiteral("The segments in %1 are being encoded by another process, and %2.\n"
                            "Nothing was changed; wait for that job, or give this one another output.")
                 .arg(folder, reason));
        return false;
    }
    const QString problem = parts->discardAll();
    if (!problem.isEmpty())
        return partsUnusable(problem);
    emit message(QStringLiteral("The kept segments in %1 were discarded: %2.").arg(folder, reason));
    return true;
}

// A recorded plan is used only when its segments cover the job's pictures exactly once (one
// edited by hand may leave a gap, overlap or start before the input). Otherwise the plan is
// made anew: the kept segments that are a segment of the new plan and still check out stay,
// every other file of the job goes.
bool TranscodeJob::coveringPlan(const PartsFolder::JobRecord &wanted, PartsFolder::JobRecord *kept)
{
    const qint64 first = settings.startPicture;
    const bool openEnd = !wanted.segments.isEmpty() && wanted.segments.last().count < 0;
    if (SegmentPlan::covers(kept->segments, first, expectedPictures, openEnd))
        return true;
    if (partsInUse()) {
        fail(JobResult::PartsInUse,
             QStringLiteral("The segments in %1 are being encoded by another process, and its plan does not cover "
                            "pictures %2 to %3 once.\nNothing was changed.")
                 .arg(native(parts->path())).arg(first).arg(first + expectedPictures - 1));
        return false;
    }
    emit message(QStringLiteral("The parts folder's plan does not cover pictures %1 to %2 once: made anew.")
                     .arg(first).arg(first + expectedPictures - 1));
    QList<qint64> keep;
    for (const SegmentPlan::Segment &span : wanted.segments) {
        PartsFolder::SegmentRecord record;
        if (parts->finished(span.first, &record, true) && record.pictures == span.count)
            keep << span.first;
    }
    QString problem = parts->discardAllBut(keep);
    if (problem.isEmpty())
        problem = parts->replaceJob(wanted);
    if (!problem.isEmpty())
        return partsUnusable(problem);
    *kept = wanted;
    return true;
}

bool TranscodeJob::partsInUse()
{
    for (const QString &path : parts->otherClaims())
        if (PartClaim(path).liveHolder().valid())
            return true;
    return false;
}

QString TranscodeJob::segmentLabel(int index) const
{
    return QStringLiteral("%1/%2").arg(index + 1).arg(segments.size());
}

int TranscodeJob::segmentsFinished() const
{
    return int(std::count_if(segments.begin(), segments.end(), [](const Segment &s) { return s.finished; }));
}

void TranscodeJob::schedule()
{
    if (stopping || makingOutput || pending.failure != JobResult::NoFailure || pending.exitCode != 0
        || !pending.outputProblem.isEmpty())
        return;
    int runningNow = 0;
    for (const Segment &segment : segments)
        runningNow += segment.run ? 1 : 0;
    // Until the first command line has been shown, one encoder only: the box is answered once.
    const int allowed = announced ? encoders : 1;
    for (int index = 0; index < int(segments.size()) && runningNow < allowed; ++index) {
        Segment &segment = segments[size_t(index)];
        if (segment.finished || segment.run || segment.checking)
            continue;
        if (!segment.claim->tryTake()) {
            if (!segment.claim->error().isEmpty()) {
                fail(JobResult::PartsUnusable, QStringLiteral("Cannot claim segment %1:\n%2.")
                                                   .arg(segmentLabel(index), segment.claim->error()));
                return;
            }
            continue;
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

void TranscodeJob::startSegment(int index)
{
    Segment &segment = segments[size_t(index)];
    JobSettings part = settings;
    part.output = parts->partialPath(segment.span.first);
    part.startPicture = segment.span.first;
    part.pictureLimit = segment.span.count;
    if (segment.span.count < 0 && settings.pictureLimit >= 0)
        part.pictureLimit = settings.pictureLimit - (segment.span.first - settings.startPicture);
    parts->discardPartial(segment.span.first);
    segment.pictures = 0;
    segment.run = new SegmentRun(part, this);
    SegmentRun *run = segment.run;
    prepareRun(run, true);
    if (encoders > 1)
        run->setLinePrefix(QStringLiteral("[%1] ").arg(segmentLabel(index)));
    emit message(QStringLiteral("Segment %1: pictures %2.").arg(segmentLabel(index), spanText(segment.span)));

    connect(run, &SegmentRun::commandLineReady, this, [this](const QString &commandLine) {
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
        QTimer::singleShot(0, this, &TranscodeJob::schedule);
    });
    connect(run, &SegmentRun::progressed, this, [this, index](qint64 pictures) {
        segments[size_t(index)].pictures = pictures;
        reportProgress(false);
    });
    connect(run, &SegmentRun::encoderOutput, this, &TranscodeJob::encoderOutput);
    // What a segment's decode says (the pictures' format, a hint) is said once for the job.
    connect(run, &SegmentRun::message, this, [this](const QString &line) {
        if (segmentMessages.contains(line))
            return;
        segmentMessages.insert(line);
        emit message(line);
    });
    connect(run, &SegmentRun::warning, this, &TranscodeJob::warning);
    connect(run, &SegmentRun::finished, this, [this, index] { segmentEnded(index); });
    run->start();
}

void TranscodeJob::segmentEnded(int index)
{
    Segment &segment = segments[size_t(index)];
    SegmentRun *run = segment.run;
    const SegmentRun::Outcome outcome = run->outcome();
    segment.run = nullptr;
    run->deleteLater();
    segment.pictures = outcome.pictures;
    const QString partial = parts->partialPath(segment.span.first);
    const QString label = segmentLabel(index);

    if (outcome.kind == SegmentRun::Outcome::Encoded && outcome.exitCode == 0 && !outcome.crashed) {
        // The segment counts as finished once its bitstream checks out: parameter sets and a
        // random-access picture first, every picture handed over, a whole last unit.
        const qint64 planned = segment.span.count;
        const qint64 handed = outcome.pictures;
        const bool lastOfInput = outcome.reachedEnd;
        ++checking;
        segment.checking = true;
        auto problem = std::make_shared<QString>();
        auto record = std::make_shared<PartsFolder::SegmentRecord>();
        PartsFolder *folder = parts.get();
        const qint64 first = segment.span.first;
        offThread(
            [partial, planned, handed, lastOfInput, first, folder, problem, record, label, outcome] {
                if (!OutputGuard::waitForWriters(partial, writersGraceMs).isEmpty()) {
                    *problem = QStringLiteral("its bitstream %1 is still being written after the encoder exited")
                                   .arg(native(partial));
                    return;
                }
                if (!OutputGuard::changedSince(outcome.before, partial)) {
                    *problem = QStringLiteral("the encoder exited with 0 but wrote no bitstream %1").arg(native(partial));
                    return;
                }
                const StreamSummary summary = StreamInspector::inspect(partial);
                if (!summary.problem.isEmpty())
                    *problem = QStringLiteral("its bitstream is unreadable: %1").arg(summary.problem);
                else if (handed == 0)
                    *problem = QStringLiteral("the input has no pictures there");
                else if (planned > 0 && handed < planned && !lastOfInput)
                    *problem = QStringLiteral("only %1 of its %2 pictures reached the encoder").arg(handed).arg(planned);
                else if (summary.pictures != handed)
                    *problem = QStringLiteral("the encoder exited with 0 but its bitstream holds %1 pictures, not %2")
                                   .arg(summary.pictures).arg(handed);
                else if (!summary.opensWithParameterSets || !summary.opensWithRandomAccess)
                    *problem = QStringLiteral("its bitstream does not open with parameter sets and a random-access picture");
                else if (!summary.endsWithWholeUnit)
                    *problem = QStringLiteral("its bitstream ends in the middle of a NAL unit");
                if (!problem->isEmpty())
                    return;
                record->first = first;
                record->pictures = handed;
                // Kept for the container: when its pictures are shown, and whether it ends the input.
                record->extra.insert(QStringLiteral("times"), outcome.times.toJson());
                record->extra.insert(QStringLiteral("reached_end"), lastOfInput);
                // And for the report: its pictures as the encoder reported them.
                record->extra.insert(QStringLiteral("rows"), QualityReport::rowsToJson(outcome.rows));
                *problem = folder->finish(*record);
            },
            [this, index, problem] {
                --checking;
                segmentChecked(index, *problem);
            });
        return;
    }

    parts->discardPartial(segment.span.first);
    segment.claim->release();
    if (outcome.kind == SegmentRun::Outcome::Failed) {
        if (pending.failure == JobResult::NoFailure && pending.exitCode == 0) {
            pending.outcome = JobResult::Failed;
            pending.failure = outcome.failure;
            pending.message = outcome.message;
        }
        stopRuns();
    } else if (outcome.kind == SegmentRun::Outcome::Encoded && pending.failure == JobResult::NoFailure
               && pending.exitCode == 0 && !stopping) {
        // One encoder failing stops the others; the job reports its code as a one-piece job does.
        pending.outcome = JobResult::Finished;
        pending.exitCode = outcome.exitCode;
        pending.encoderCrashed = outcome.crashed;
        emit message(outcome.crashed
                         ? QStringLiteral("Segment %1 (pictures %2): the encoder was ended by signal %3.")
                               .arg(label, spanText(segment.span)).arg(outcome.exitCode)
                         : QStringLiteral("Segment %1 (pictures %2): the encoder exited with code %3 after it "
                                          "was given %4 pictures.")
                               .arg(label, spanText(segment.span)).arg(outcome.exitCode).arg(outcome.pictures));
        stopRuns();
    }
    endSegments();
}

void TranscodeJob::segmentChecked(int index, const QString &problem)
{
    Segment &segment = segments[size_t(index)];
    segment.checking = false;
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
    if (segment.finished && segment.span.count < 0)
        expectedPictures = std::accumulate(segments.begin(), segments.end(), qint64(0),
                                           [](qint64 sum, const Segment &s) { return sum + s.pictures; });
    endSegments();
    if (running && !stopping)
        schedule();
}

void TranscodeJob::stopRuns()
{
    for (Segment &segment : segments)
        if (segment.run)
            segment.run->stop();
}

void TranscodeJob::refreshClaims()
{
    for (int index = 0; index < int(segments.size()); ++index) {
        Segment &segment = segments[size_t(index)];
        if (segment.run && !segment.claim->refresh()) {
            // Taken over by another process, which thought this one gone: it is theirs now.
            emit message(QStringLiteral("Segment %1 was taken over by another process; it is left to it.")
                             .arg(segmentLabel(index)));
            segment.run->abort();
            delete segment.run;
            segment.run = nullptr;
            segment.pictures = 0;
            parts->discardPartial(segment.span.first);
            QTimer::singleShot(0, this, &TranscodeJob::schedule);
        }
    }
    if (outputClaim)
        outputClaim->refresh();
    if (presence)
        presence->refresh();
}

void TranscodeJob::lookForFinishedSegments()
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
void TranscodeJob::watchOthers()
{
    QStringList holders;
    int held = 0;
    bool allSeenAlive = true;
    for (Segment &segment : segments) {
        if (segment.finished || segment.run || segment.checking)
            continue;
        PartsFolder::SegmentRecord record;
        if (parts->finished(segment.span.first, &record, false)) {
            segment.finished = true;
            segment.pictures = record.pictures;
            continue;
        }
        bool seenAlive = false;
        const PartClaim::Holder holder = segment.claim->watchHolder(&seenAlive);
        if (!holder.valid()) {
            // Its holder is gone: take it over at once.
            QTimer::singleShot(0, this, &TranscodeJob::schedule);
            return;
        }
        ++held;
        allSeenAlive = allSeenAlive && seenAlive;
        if (!holders.contains(holder.host))
            holders << holder.host;
    }
    reportProgress(true);
    if (held == 0) {
        QTimer::singleShot(0, this, &TranscodeJob::schedule);
        return;
    }
    if (allSeenAlive) {
        pending.outcome = JobResult::Finished;
        pending.finishedElsewhere = QStringLiteral("%1 segment%2 %3 still being encoded by %4; the output is made "
                                                   "by whichever process finishes last.")
                                        .arg(held).arg(held == 1 ? "" : "s").arg(held == 1 ? "is" : "are")
                                        .arg(holders.join(QStringLiteral(", ")));
        emit message(pending.finishedElsewhere);
        endSegments();
        return;
    }
    if (!watchTimer) {
        watchTimer = new QTimer(this);
        watchTimer->setSingleShot(true);
        connect(watchTimer, &QTimer::timeout, this, &TranscodeJob::watchOthers);
    }
    watchTimer->start(watchIntervalMs);
}

void TranscodeJob::makeOutput()
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
    QStringList paths;
    QList<qint64> firsts;
    for (const Segment &segment : segments) {
        paths << parts->segmentPath(segment.span.first);
        firsts << segment.span.first;
    }
    const PartClaim::Holder me = PartClaim::self();
    const QString joined = parts->path() + QStringLiteral("/joined.%1.%2.265").arg(me.host).arg(me.pid);
    const QString output = absolute(settings.output);
    const OutputFacts shown = facts;
    PartsFolder *folder = parts.get();
    const bool container = containerOutput();
    // The request is made in full once the segments' records are read, off this thread.
    const std::shared_ptr<MuxRequest> request =
        container ? containerRequest(joined, PictureTimes(), false) : nullptr;
    const std::atomic_bool *stop = &muxStop;
    auto problem = std::make_shared<QString>();
    auto lines = std::make_shared<QStringList>();
    auto redo = std::make_shared<QList<int>>();
    auto muxed = std::make_shared<MuxResult>();
    auto report = std::make_shared<QualityReport>();
    const qint64 start = settings.startPicture;
    const double rate = reportFrameRate(facts);
    const double seconds = clock.elapsed() / 1000.0;
    const int qp = settings.qp;
    offThread(
        [paths, firsts, joined, output, shown, folder, problem, lines, redo, request, stop, muxed, report, start,
         rate, seconds, qp] {
            // Every segment is checked whole before the join: one edited since is encoded again.
            PictureTimes times;
            bool reachedEnd = false;
            qint64 joinedPictures = 0;   // as the segments' checks counted them
            for (int i = 0; i < firsts.size(); ++i) {
                PartsFolder::SegmentRecord record;
                PictureTimes segmentTimes;
                if (!folder->finished(firsts.at(i), &record, true)
                    || (request && !PictureTimes::fromJson(record.extra.value(QStringLiteral("times")).toObject(),
                                                           &segmentTimes))) {
                    *redo << i;
                    continue;
                }
                if (times.isEmpty())
                    times = segmentTimes;
                else
                    times.append(segmentTimes);
                reachedEnd = record.extra.value(QStringLiteral("reached_end")).toBool();
                joinedPictures += record.pictures;
                QList<PictureRow> rows;
                if (QualityReport::rowsFromJson(record.extra.value(QStringLiteral("rows")).toArray(), &rows))
                    report->placeRows(firsts.at(i) - start, rows);
            }
            if (!redo->isEmpty())
                return;
            const JoinResult join = SegmentJoiner::join(joined, paths);
            if (!join.ok) {
                *problem = join.error;
                return;
            }
            const RewriteResult rewritten = OutputRewriter::rewrite(joined, shown);
            report->summarize(joined, rate, seconds, joinedPictures, qp);
            *lines << QStringLiteral("Joined %1 segments.").arg(paths.size());
            if (rewritten.rewritten)
                *lines << rewritten.summary;
            else if (!rewritten.error.isEmpty())
                *lines << QStringLiteral("The output was left as the encoder wrote it: %1").arg(rewritten.error);
            if (request) {
                request->pictures = times;
                request->spanStart = times.isEmpty() ? 0 : times.times.first();
                request->spanEnd = times.isEmpty() ? 0 : times.end();
                request->cutEnd = !reachedEnd;
                *muxed = ContainerMuxer::mux(*request, stop);
                if (muxed->ok) {
                    QFile::remove(joined);
                    folder->remove();
                }
                return;
            }
            // In the output's place in one step, looking to its owner as the old one did.
            struct stat old;
            if (::stat(QFile::encodeName(output).constData(), &old) == 0)
                ::chmod(QFile::encodeName(joined).constData(), old.st_mode & 07777);
            if (::rename(QFile::encodeName(joined).constData(), QFile::encodeName(output).constData()) != 0) {
                *problem = QStringLiteral("Cannot put the joined stream in the place of %1: %2. It is kept as %3.")
                               .arg(native(output), QString::fromLocal8Bit(std::strerror(errno)), native(joined));
                return;
            }
            lines->first() = QStringLiteral("Joined %1 segments into %2.").arg(paths.size()).arg(native(output));
            folder->remove();
        },
        [this, problem, lines, redo, container, muxed, joined, report] {
            if (redo->isEmpty() && problem->isEmpty())
                pending.report = *report;
            if (container && redo->isEmpty() && problem->isEmpty()) {
                OutputCheck check;
                check.muxed = muxed;
                privateBitstream = joined;
                for (const QString &line : std::as_const(*lines))
                    emit message(line);
                finishContainer(&pending, check);
                if (pending.failure == JobResult::MuxFailed || pending.outcome == JobResult::Stopped) {
                    // The segments stay for another try; the joined stream is kept beside the output.
                    makingOutput = false;
                    outputClaim.reset();
                    endSegments();
                    return;
                }
                outputMade(QString(), QStringList(), QList<int>());
                return;
            }
            outputMade(*problem, *lines, *redo);
        });
}

void TranscodeJob::outputMade(const QString &problem, const QStringList &lines, const QList<int> &redo)
{
    makingOutput = false;
    for (const QString &line : lines)
        emit message(line);
    if (!redo.isEmpty()) {
        // Kept segments that no longer check out (cut short, edited): encoded again.
        for (int index : redo) {
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
    if (!problem.isEmpty() && pending.failure == JobResult::NoFailure) {
        pending.outcome = JobResult::Failed;
        pending.failure = JobResult::SegmentUnfit;
        pending.message = problem;
    } else if (problem.isEmpty()) {
        pending.outcome = JobResult::Finished;
        outputClaim.reset();
        parts.reset();
    }
    endSegments();
}

// Ends a job in segments once nothing of it runs any more.
void TranscodeJob::endSegments()
{
    if (!running || checking > 0 || makingOutput || !helpers.isEmpty())
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
