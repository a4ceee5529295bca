#include "transcodejob.h"

#include "encoderconfigfile.h"
#include "pathtext.h"
#include "filecheck.h"
#include "partclaim.h"
#include "segmentrun.h"

#include "bitstream/librarylog.h"
#include "bitstream/outputrewriter.h"
#include "bitstream/replacefile.h"
#include "bitstream/streaminspector.h"
#include "mux/containerformat.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

using PathText::absolute;
using PathText::native;

// Progress is reported at most this often.
constexpr qint64 progressIntervalMs = 200;

} // namespace

TranscodeJob::TranscodeJob(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<JobProgress>();
    qRegisterMetaType<JobResult>();
    // The libraries' lines go into the log, never straight to the terminal.
    LibraryLog::install();
}

TranscodeJob::~TranscodeJob()
{
    abort();
}

void TranscodeJob::start(const JobSettings &jobSettings)
{
    if (running)
        return;
    settings = jobSettings;
    running = true;
    stopping = false;
    aborting = false;
    pending = JobResult();
    lastProgressMs = -1;
    expectedPictures = 0;
    declaredPictures = 0;
    shortOfDeclared = 0;
    segments.clear();
    parts.reset();
    announced = false;
    makingOutput = false;
    checking = 0;
    picturesThisRun = 0;
    segmentMessages.clear();
    privateBitstream.clear();
    muxStop = false;
    readsInputTwice = false;
    outputClaim.reset();
    clock.start();

    if (!checkPaths())
        return;
    SegmentRun::sweepAbandonedFolders();
    const bool raw = settings.rawWidth != 0 && settings.rawHeight != 0;
    if (settings.parallelEncoders > 1 || settings.segmentLength > 0 || settings.inSegments) {
        if (!raw) {
            startSegments();
            return;
        }
        emit message(QStringLiteral("A raw input goes to the encoder as it is: it is encoded in one piece."));
    }
    startOnePiece();
}

bool TranscodeJob::checkPaths()
{
    const struct { const QString &path; const char *role; } others[] = {
        {settings.input, "input file"},
        {settings.config, "configuration file"},
        {settings.encoder, "encoder program"},
    };
    for (const auto &other : others) {
        // The files themselves are compared, so a hard link is caught as well as a symbolic one.
        if (other.path.isEmpty() || !FileCheck::sameFile(other.path, settings.output))
            continue;
        fail(JobResult::OutputUnusable,
             QStringLiteral("The output file %1 is the %2.\nChoose another output file; nothing was "
                            "changed.")
                 .arg(native(absolute(settings.output)), QLatin1String(other.role)));
        return false;
    }
    const QString problem = FileCheck::writeProblem(settings.output);
    if (!problem.isEmpty()) {
        fail(JobResult::OutputUnusable,
             QStringLiteral("Cannot write the output file %1:\n%2.").arg(native(absolute(settings.output)), problem));
        return false;
    }
    return true;
}

void TranscodeJob::fail(JobResult::Failure failure, const QString &text)
{
    if (pending.failure == JobResult::NoFailure) {
        pending.outcome = JobResult::Failed;
        pending.failure = failure;
        pending.message = text;
    }
    if (onePiece)
        return;   // the run reports its own failures; this one came before it
    if (!segments.empty()) {
        stopRuns();
        endSegments();
        return;
    }
    // Nothing runs yet.
    if (helpers.isEmpty())
        finish(pending);
}

void TranscodeJob::finish(JobResult result)
{
    delete claimTimer;
    claimTimer = nullptr;
    delete watchTimer;
    watchTimer = nullptr;
    outputClaim.reset();
    for (Segment &segment : segments)
        segment.claim.reset();
    presence.reset();
    running = false;
    if (!aborting)
        emit finished(result);
}

void TranscodeJob::offThread(std::function<void()> work, std::function<void()> done)
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

void TranscodeJob::reportProgress(bool force)
{
    const qint64 now = clock.elapsed();
    if (!force && lastProgressMs >= 0 && now - lastProgressMs < progressIntervalMs)
        return;
    lastProgressMs = now;
    JobProgress progress;
    qint64 encodedHere = 0;
    if (onePiece) {
        progress.pictures = onePiece->pictures();
        encodedHere = progress.pictures;
    } else {
        encodedHere = picturesThisRun;
        for (const Segment &segment : segments) {
            progress.pictures += segment.pictures;
            if (segment.run)
                encodedHere += segment.pictures;
        }
        progress.segmentsDone = segmentsFinished();
        progress.segmentsTotal = int(segments.size());
    }
    progress.total = expectedPictures;
    progress.declaredTotal = declaredPictures;
    addPreparing(&progress);
    progress.elapsedSeconds = now / 1000.0;
    if (progress.elapsedSeconds > 0)
        progress.picturesPerSecond = encodedHere / progress.elapsedSeconds;
    if (progress.total > 0 && progress.picturesPerSecond > 0)
        progress.secondsLeft = qMax<qint64>(0, progress.total - progress.pictures) / progress.picturesPerSecond;
    emit progressChanged(progress);
}

// The file route's first step, while no encoder runs yet.
void TranscodeJob::addPreparing(JobProgress *progress) const
{
    if (onePiece) {
        progress->preparing = onePiece->preparing();
        progress->prepared = onePiece->prepared();
        progress->preparedTotal = expectedPictures;
        return;
    }
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

// What every run of the job is told: whether it is a segment, whether the encoder was seen
// reading its input twice (then the pictures go through a complete file from the start), and
// the step from preparing that file to encoding, which the progress shows at once.
void TranscodeJob::prepareRun(SegmentRun *run, bool segment)
{
    run->setSegment(segment);
    run->setReadsInputTwice(readsInputTwice);
    connect(run, &SegmentRun::readsInputTwice, this, [this] { readsInputTwice = true; });
    connect(run, &SegmentRun::stageChanged, this, [this] { reportProgress(true); });
}

void TranscodeJob::stop()
{
    if (!running || stopping)
        return;
    stopping = true;
    muxStop = true;
    if (onePiece) {
        onePiece->stop();
        return;
    }
    stopRuns();
    endSegments();
}

void TranscodeJob::abort()
{
    if (!running)
        return;
    aborting = true;
    stopping = true;
    muxStop = true;
    if (onePiece) {
        onePiece->abort();
        delete onePiece;
        onePiece = nullptr;
    }
    for (Segment &segment : segments) {
        if (!segment.run)
            continue;
        segment.run->abort();
        delete segment.run;
        segment.run = nullptr;
        if (parts)
            parts->discardPartial(segment.span.first);
    }
    for (QThread *thread : std::as_const(helpers)) {
        thread->disconnect(this);
        thread->wait();
        delete thread;
    }
    helpers.clear();
    keepBitstream(privateBitstream);
    finish(pending);
}

// ---------------------------------------------------------------------------------------------
// One piece

void TranscodeJob::startOnePiece()
{
    JobSettings run = settings;
    if (containerOutput()) {
        QString problem;
        const QString output = absolute(settings.output);
        privateBitstream = ContainerMuxer::createHiddenSibling(output, QStringLiteral(".265"), &problem);
        if (privateBitstream.isEmpty()) {
            fail(JobResult::OutputUnusable,
                 QStringLiteral("Cannot create a file beside the output %1:\n%2.").arg(native(output), problem));
            return;
        }
        run.output = privateBitstream;
    }
    onePiece = new SegmentRun(run, this);
    prepareRun(onePiece, false);
    connect(onePiece, &SegmentRun::commandLineReady, this, &TranscodeJob::commandLineReady);
    connect(onePiece, &SegmentRun::opened, this, [this](qint64 expected, qint64 declared) {
        expectedPictures = expected;
        declaredPictures = declared;
        reportProgress(true);
    });
    connect(onePiece, &SegmentRun::progressed, this, [this] { reportProgress(false); });
    connect(onePiece, &SegmentRun::encoderOutput, this, &TranscodeJob::encoderOutput);
    connect(onePiece, &SegmentRun::message, this, &TranscodeJob::message);
    connect(onePiece, &SegmentRun::warning, this, &TranscodeJob::warning);
    connect(onePiece, &SegmentRun::finished, this, &TranscodeJob::onePieceFinished);
    onePiece->start();
}

void TranscodeJob::onePieceFinished()
{
    const SegmentRun::Outcome outcome = onePiece->outcome();
    const bool decoded = settings.rawWidth == 0 || settings.rawHeight == 0;
    // At the end of the input the total is known exactly; the stream's count was an estimate.
    if (decoded && outcome.reachedEnd && !outcome.encoderLeftEarly) {
        expectedPictures = outcome.pictures;
        checkDeclaredCount(outcome.declared, outcome.declaredExact);
    }
    reportProgress(true);
    onePiece->deleteLater();
    onePiece = nullptr;

    JobResult result = pending;
    result.pictures = outcome.pictures;
    result.declaredPictures = shortOfDeclared;
    bool checkOutput = false;
    if (outcome.kind == SegmentRun::Outcome::Failed) {
        result.outcome = JobResult::Failed;
        result.failure = outcome.failure;
        result.message = outcome.message;
    } else if (outcome.kind == SegmentRun::Outcome::Stopped) {
        result.outcome = JobResult::Stopped;
        emit message(QStringLiteral("Encoding stopped after %1 pictures.").arg(outcome.pictures));
    } else {
        result.outcome = JobResult::Finished;
        result.exitCode = outcome.exitCode;
        result.encoderCrashed = outcome.crashed;
        if (outcome.crashed)
            emit message(QStringLiteral("The encoder was ended by signal %1.").arg(outcome.exitCode));
        if (decoded && outcome.encoderLeftEarly && !outcome.reachedEnd)
            emit message(QStringLiteral("The encoder exited with code %1 after it was given %2 of %3 "
                                        "pictures.")
                             .arg(QString::number(outcome.exitCode), QString::number(outcome.pictures),
                                  expectedPictures > 0 ? QString::number(expectedPictures)
                                                       : QStringLiteral("?")));
        checkOutput = outcome.exitCode == 0 && !outcome.crashed;
    }
    const QString bitstream = privateBitstream.isEmpty() ? absolute(settings.output) : privateBitstream;
    if (!checkOutput) {
        completeReport(&result, outcome.rows, bitstream, outcome.facts);
        keepBitstream(privateBitstream);
        finish(result);
        return;
    }
    const QString output = privateBitstream.isEmpty() ? absolute(settings.output) : privateBitstream;
    const std::shared_ptr<MuxRequest> container =
        privateBitstream.isEmpty() ? nullptr : containerRequest(privateBitstream, outcome.times, outcome.reachedEnd);
    auto checked = std::make_shared<OutputCheck>();
    offThread(
        [output, outcome, checked, container, stop = &muxStop] {
            *checked = checkAndRewrite(output, outcome.facts, outcome.before);
            if (container && checked->problem.isEmpty() && !checked->leftAsIs)
                checked->muxed = std::make_shared<MuxResult>(ContainerMuxer::mux(*container, stop));
        },
        [this, result, checked, rows = outcome.rows, output, shown = outcome.facts]() mutable {
            for (const QString &line : std::as_const(checked->lines))
                emit message(line);
            result.outputProblem = checked->problem;
            completeReport(&result, rows, output, shown);
            if (!privateBitstream.isEmpty())
                finishContainer(&result, *checked);
            finish(result);
        });
}

void TranscodeJob::checkDeclaredCount(qint64 declared, bool exact)
{
    // A count the container states must be met; one worked out from the duration and the rate
    // may be off by a little.
    declaredPictures = declared;
    const qint64 given = expectedPictures;
    const qint64 tolerance = exact ? 0 : qMax<qint64>(2, declared / 50);
    if (declared <= 0 || given >= declared - tolerance)
        return;
    shortOfDeclared = declared;
    const qint64 start = settings.startPicture;
    emit message(QStringLiteral("The input ended after %1 of the %2 pictures it declares.")
                     .arg(start + given).arg(start + declared));
}

TranscodeJob::OutputCheck TranscodeJob::checkAndRewrite(const QString &output, const OutputFacts &facts,
                                                        const OutputGuard::Stamp &before)
{
    OutputCheck check;
    const QString shown = native(output);
    // The encoder has gone, but a process it started may still be writing: a file replaced
    // under it would lose whatever it writes afterwards.
    const QList<qint64> writers = OutputGuard::waitForWriters(output, writersGraceMs);
    if (!writers.isEmpty()) {
        QStringList numbers;
        for (qint64 pid : writers)
            numbers << QString::number(pid);
        check.lines << QStringLiteral("The output was left as the encoder wrote it: %1 is still open for "
                                      "writing by process %2 after the encoder exited.")
                           .arg(shown, numbers.join(QStringLiteral(", ")));
        check.leftAsIs = true;
        return check;
    }
    if (!OutputGuard::changedSince(before, output)) {
        check.problem = before.exists
            ? QStringLiteral("The encoder exited with 0 but did not write the output file %1: it is as it was "
                             "before the encoder started, so it is not the result of this encode.").arg(shown)
            : QStringLiteral("The encoder exited with 0 but wrote no output file: %1 does not exist.").arg(shown);
        return check;
    }
    const StreamSummary summary = StreamInspector::inspect(output, 1);
    if (summary.pictures == 0) {
        check.problem = QStringLiteral("The encoder exited with 0 but the output file %1 holds no picture%2.")
                            .arg(shown, summary.problem.isEmpty() ? QString()
                                                                 : QStringLiteral(" (%1)").arg(summary.problem));
        return check;
    }
    const RewriteResult rewritten = OutputRewriter::rewrite(output, facts);
    if (rewritten.rewritten)
        check.lines << rewritten.summary;
    else if (!rewritten.error.isEmpty())
        check.lines << QStringLiteral("The output was left as the encoder wrote it: %1").arg(rewritten.error);
    return check;
}

// ---------------------------------------------------------------------------------------------
// Container output

bool TranscodeJob::containerOutput() const
{
    return ContainerFormat::forPath(settings.output).isContainer();
}

// What the mux needs, as plain values: the pictures' times as the decodes recorded them, the
// span of the input they cover, and the input for its other streams (none for a raw input,
// whose pictures follow each other at the rate given for it).
std::shared_ptr<MuxRequest> TranscodeJob::containerRequest(const QString &bitstream, const PictureTimes &times,
                                                           bool reachedEnd) const
{
    auto request = std::make_shared<MuxRequest>();
    request->bitstream = bitstream;
    request->output = absolute(settings.output);
    if (settings.rawWidth != 0 && settings.rawHeight != 0) {
        EncoderConfigFile config;
        config.read(settings.config);
        request->pictures.timeBaseNum = 1;
        request->pictures.timeBaseDen =
            settings.rawFps > 0 ? settings.rawFps : qMax(1, config.intValue(QStringLiteral("FrameRate"), 25));
        return request;
    }
    request->input = absolute(settings.input);
    request->pictures = times;
    if (!times.isEmpty()) {
        request->spanStart = times.times.first();
        request->spanEnd = times.end();
    }
    request->cutStart = settings.startPicture > 0;
    request->cutEnd = !reachedEnd;
    return request;
}

void TranscodeJob::finishContainer(JobResult *result, const OutputCheck &check)
{
    const QString bitstream = privateBitstream;
    if (!check.muxed) {
        // Nothing was muxed: the encoder broke its contract, or its file is still being written.
        if (check.leftAsIs && result->outputProblem.isEmpty()) {
            result->outcome = JobResult::Failed;
            result->failure = JobResult::MuxFailed;
            result->message = QStringLiteral("%1 was not muxed: the encoder's bitstream was still being written.\n"
                                             "The encoded bitstream is kept as %2.")
                                  .arg(native(absolute(settings.output)), native(keepBitstream(bitstream, false)));
        } else {
            keepBitstream(bitstream);
        }
        privateBitstream.clear();
        return;
    }
    const MuxResult &outcome = *check.muxed;
    for (const QString &note : outcome.notes)
        emit message(note);
    if (outcome.ok) {
        QFile::remove(bitstream);
        privateBitstream.clear();
        emit message(outcome.summary);
        return;
    }
    privateBitstream.clear();
    if (outcome.stopped) {
        emit message(QStringLiteral("Stopped before %1 was written.").arg(native(absolute(settings.output))));
        keepBitstream(bitstream);
        result->outcome = JobResult::Stopped;
        return;
    }
    // The failure's message says what went wrong and where the bitstream is: said once.
    const QString kept = native(keepBitstream(bitstream, false));
    result->outcome = JobResult::Failed;
    result->failure = JobResult::MuxFailed;
    result->message = QStringLiteral("%1.\nThe encoded bitstream is kept as %2.").arg(outcome.error, kept);
}

// An encoded bitstream that did not make it into its container (a stop, a failure) is kept as
// "<output>.265" when it holds anything (or "<output>.1.265" and so on, never over a file that
// is there), and the log says where; an empty one goes.
QString TranscodeJob::keepBitstream(QString bitstream, bool say)
{
    if (bitstream.isEmpty() || !QFileInfo::exists(bitstream))
        return QString();
    if (bitstream == privateBitstream)
        privateBitstream.clear();
    if (QFileInfo(bitstream).size() == 0) {
        QFile::remove(bitstream);
        return QString();
    }
    QString problem;
    QString kept = ReplaceFile::moveToFreeName(bitstream, absolute(settings.output), QStringLiteral(".265"), &problem);
    if (kept.isEmpty())
        kept = bitstream;
    if (say)
        emit message(QStringLiteral("The encoded bitstream is kept as %1.").arg(native(kept)));
    return kept;
}

// ---------------------------------------------------------------------------------------------
// Report

// The rate the output is shown at: the input's, else the one typed for a raw input, else the
// configuration's.
double TranscodeJob::reportFrameRate(const OutputFacts &shown) const
{
    if (shown.frameRateNum > 0 && shown.frameRateDen > 0)
        return double(shown.frameRateNum) / shown.frameRateDen;
    if (settings.rawFps > 0)
        return settings.rawFps;
    EncoderConfigFile config;
    return config.read(settings.config) ? config.value(QStringLiteral("FrameRate")).toDouble() : 0;
}

void TranscodeJob::completeReport(JobResult *result, const QList<PictureRow> &rows, const QString &bitstream,
                                  const OutputFacts &shown)
{
    // A job that failed before the encoder said anything has nothing to report.
    if (result->outcome == JobResult::Failed && rows.isEmpty())
        return;
    result->report.placeRows(0, rows);
    result->report.summarize(bitstream, reportFrameRate(shown), clock.elapsed() / 1000.0, result->pictures,
                             settings.qp);
}
