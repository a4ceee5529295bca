#include "onepiece.h"

#include "files/pathtext.h"
#include "jobtypes/jobmessages.h"
#include "jobtypes/joboutput.h"
#include "mux/containermuxer.h"

using PathText::absolute;
using PathText::native;

OnePiece::OnePiece(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent)
    : JobPath(parent)
    , settings(settings)
    , ticker(jobClock)
{
}

OnePiece::~OnePiece()
{
    abort();
}

void OnePiece::start()
{
    JobSettings piece = settings;
    if (JobOutput::isContainer(settings)) {
        // The encoder writes a hidden file beside the output, muxed at the end.
        QString problem;
        const QString output = absolute(settings.output);
        privateBitstream = ContainerMuxer::createHiddenSibling(output, QStringLiteral(".265"), &problem);
        if (privateBitstream.isEmpty()) {
            failBeforeStart(JobResult::OutputUnusable,
                            QStringLiteral("Cannot create a file beside the output %1:\n%2.").arg(native(output), problem));
            return;
        }
        piece.output = privateBitstream;
    }
    run = new EncoderRun(piece, this);
    connect(run, &EncoderRun::stageChanged, this, [this] { reportProgress(true); });
    // The output as it is just before the encoder starts, once the command line was shown (and
    // answered), tells whether the encoder wrote it.
    connect(run, &EncoderRun::commandLineReady, this, [this, bitstream = piece.output](const QString &commandLine) {
        emit commandLineReady(commandLine);
        outputBefore = OutputGuard::stamp(absolute(bitstream));
    });
    connect(run, &EncoderRun::opened, this, [this](qint64 expected, qint64 declared) {
        expectedPictures = expected;
        declaredPictures = declared;
        reportProgress(true);
    });
    connect(run, &EncoderRun::progressed, this, [this] { reportProgress(false); });
    connect(run, &EncoderRun::encoderOutput, this, &JobPath::encoderOutput);
    connect(run, &EncoderRun::message, this, &JobPath::message);
    connect(run, &EncoderRun::warning, this, &JobPath::warning);
    connect(run, &EncoderRun::finished, this, &OnePiece::runFinished);
    run->start();
}

void OnePiece::failBeforeStart(JobResult::Failure failure, const QString &text)
{
    JobResult failed;
    failed.outcome = JobResult::Failed;
    failed.failure = failure;
    failed.message = text;
    emit finished(failed);
}

void OnePiece::stop()
{
    if (run)
        run->stop();
    if (maker)
        maker->stop();
}

void OnePiece::abort()
{
    if (run) {
        run->abort();
        delete run;
        run = nullptr;
    }
    // The output step keeps the bitstream itself; without it, it is kept here.
    if (maker && maker->isRunning())
        maker->abort();
    else if (!privateBitstream.isEmpty()) {
        QStringList lines;
        OutputMaker::keepBitstream(privateBitstream, settings.output, true, &lines);
    }
    privateBitstream.clear();
}

void OnePiece::reportProgress(bool force)
{
    if (!ticker.due(force))
        return;
    JobProgress progress;
    if (run) {
        progress.pictures = run->pictures();
        progress.preparing = run->preparing();
        progress.prepared = run->prepared();
        progress.preparedTotal = expectedPictures;
    } else {
        progress.pictures = result.pictures;
    }
    progress.total = expectedPictures;
    progress.declaredTotal = declaredPictures;
    ticker.complete(&progress, progress.pictures);
    emit progressChanged(progress);
}

void OnePiece::runFinished()
{
    const EncoderRun::Outcome outcome = run->outcome();
    const EncoderRun::Outcome::Pictures &pictures = outcome.pictures;
    const bool decoded = pictures.fed;
    // At the end of the input the total is known exactly; the stream's count was an estimate.
    if (decoded && pictures.reachedEnd && !pictures.encoderLeftEarly) {
        expectedPictures = pictures.given;
        checkDeclaredCount(pictures.declared, pictures.declaredExact);
    }
    reportProgress(true);
    run->deleteLater();
    run = nullptr;
    result.pictures = pictures.given;
    result.encoderCpuSeconds = outcome.bitstream.encoderCpuSeconds;
    // Not every picture reached the encoder: the result says why, as the warning did.
    result.picturesMissing = outcome.verdict.picturesMissing;
    if (!result.picturesMissing.isEmpty())
        result.picturesMeant = expectedPictures;

    const bool encoded = takeOutcome(outcome, decoded);
    const OutputRequest request = requestFor(outcome);
    if (!encoded) {
        // A job that failed before the encoder said anything has nothing to report.
        if (result.outcome != JobResult::Failed || !outcome.bitstream.rows.isEmpty())
            result.report = OutputMaker::report(request, request.bitstreams.first());
        QStringList lines;
        result.keptAs = OutputMaker::keepBitstream(privateBitstream, settings.output, true, &lines);
        privateBitstream.clear();
        for (const QString &line : std::as_const(lines))
            emit message(line);
        emit finished(result);
        return;
    }
    maker = new OutputMaker(this);
    connect(maker, &OutputMaker::finished, this, &OnePiece::outputMade);
    maker->start(request);
}

// What the run's end makes of the job's result; whether the encoder succeeded, so that its
// output is to be made.
bool OnePiece::takeOutcome(const EncoderRun::Outcome &outcome, bool decoded)
{
    bool encoded = false;
    const EncoderRun::Outcome::Verdict &verdict = outcome.verdict;
    const EncoderRun::Outcome::Pictures &pictures = outcome.pictures;
    if (verdict.kind == EncoderRun::Outcome::Failed) {
        result.outcome = JobResult::Failed;
        result.failure = verdict.failure;
        result.message = verdict.message;
    } else if (verdict.kind == EncoderRun::Outcome::Stopped) {
        result.outcome = JobResult::Stopped;
        emit message(JobMessages::stoppedAfter(pictures.given));
    } else {
        result.outcome = JobResult::Finished;
        result.exitCode = verdict.exitCode;
        result.encoderCrashed = verdict.crashed;
        if (verdict.crashed)
            emit message(JobMessages::encoderEndLine(QString(), verdict.exitCode, true, QString()));
        if (decoded && pictures.encoderLeftEarly && !pictures.reachedEnd)
            emit message(JobMessages::encoderEndLine(
                QString(), verdict.exitCode, false,
                QStringLiteral("%1 of %2").arg(pictures.given).arg(expectedPictures > 0 ? QString::number(expectedPictures)
                                                                                        : QStringLiteral("?"))));
        encoded = verdict.exitCode == 0 && !verdict.crashed;
    }

    return encoded;
}

OutputRequest OnePiece::requestFor(const EncoderRun::Outcome &outcome) const
{
    OutputRequest request;
    request.bitstreams << (privateBitstream.isEmpty() ? absolute(settings.output) : privateBitstream);
    request.output = absolute(settings.output);
    request.before = outputBefore;
    request.facts = outcome.pictures.facts;
    request.tools = JobOutput::toolsOf(settings);
    if (!privateBitstream.isEmpty())
        request.container = JobOutput::container(settings, outcome.pictures.times, outcome.pictures.reachedEnd);
    request.rows << OutputRequest::Rows{0, outcome.bitstream.rows};
    request.frameRate = JobOutput::frameRate(settings, outcome.pictures.facts);
    request.encodingSeconds = ticker.seconds();
    request.pictures = outcome.pictures.given;
    request.qp = settings.qp;
    return request;
}

void OnePiece::checkDeclaredCount(qint64 declared, bool exact)
{
    // Only a count the video stream states itself must be met: one worked out from a duration
    // may belong to the container or to a longer sound track.
    declaredPictures = exact ? declared : 0;
    const qint64 given = expectedPictures;
    if (!exact || declared <= 0 || given >= declared)
        return;
    result.declaredPictures = declared;
    const qint64 start = settings.startPicture;
    emit message(QStringLiteral("The input ended after %1 of the %2 pictures it declares.")
                     .arg(start + given).arg(start + declared));
}

void OnePiece::outputMade(const OutputResult &made)
{
    maker->deleteLater();
    maker = nullptr;
    privateBitstream.clear();
    for (const QString &line : made.lines)
        emit message(line);
    result.report = made.report;
    result.keptAs = made.kept;
    switch (made.outcome) {
    case OutputResult::Made:
    case OutputResult::LeftAsIs:
        break;
    case OutputResult::Unwritten:
        result.outputProblem = made.problem;
        break;
    case OutputResult::NotJoined:   // one bitstream is never joined
    case OutputResult::MuxFailed:
        result.outcome = JobResult::Failed;
        result.failure = JobResult::MuxFailed;
        result.message = made.problem;
        break;
    case OutputResult::Stopped:
        result.outcome = JobResult::Stopped;
        break;
    }
    emit finished(result);
}
