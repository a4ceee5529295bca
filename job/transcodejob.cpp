#include "transcodejob.h"

#include "decodeworker.h"
#include "encoderconfigfile.h"
#include "bitstream/outputrewriter.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>

namespace {

// The encoder's output is handed on in pieces of at most this size, so that a very talkative
// encoder never holds the owner's thread for long.
constexpr qint64 outputChunk = 64 * 1024;
// Progress is reported at most this often.
constexpr qint64 progressIntervalMs = 200;
// How long a terminated encoder has before it is killed.
constexpr int killDelayMs = 2000;

// The file a path names in the end, links followed; for a file that does not exist yet, the
// real folder and the name.
QString realPath(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = info.absoluteDir().canonicalPath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + QLatin1Char('/') + info.fileName();
}

QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

// The folder for temporary files as the environment names it. Qt falls back on the current
// directory when TMPDIR names no folder; the job must not write anywhere else than asked.
QString temporaryFolder()
{
    const QString fromEnvironment = qEnvironmentVariable("TMPDIR");
    return fromEnvironment.isEmpty() ? QDir::tempPath() : fromEnvironment;
}

QString temporaryFolderProblem(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("No such folder");
    if (!info.isDir())
        return QStringLiteral("It is not a folder");
    if (!info.isWritable())
        return QStringLiteral("Permission denied");
    return QString();
}

} // namespace

TranscodeJob::TranscodeJob(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<JobProgress>();
    qRegisterMetaType<JobResult>();
    // An encoder that exits makes the next write into the pipe fail with EPIPE; the signal
    // that comes with it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
}

TranscodeJob::~TranscodeJob()
{
    abort();
}

QString TranscodeJob::displayCommandLine(const QString &encoder, const QString &config,
                                         const QString &input, const QString &output, int width,
                                         int height)
{
    // One arg() call, so that a '%' inside a path is never taken for a placeholder.
    return QStringLiteral("\"%1\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt %5 -hgt %6")
        .arg(encoder, config, input, output, QString::number(width), QString::number(height));
}

TranscodeJob::EncoderCommand TranscodeJob::encoderCommand(const JobSettings &settings,
                                                          const QString &encoderInput, int width,
                                                          int height)
{
    const QString program = absolute(settings.encoder);
    const QString config = absolute(settings.config);
    const QString output = absolute(settings.output);
    EncoderCommand command;
    command.arguments = {QStringLiteral("-c"), config, QStringLiteral("-i"), encoderInput,
                         QStringLiteral("-b"), output, QStringLiteral("-wdt"), QString::number(width),
                         QStringLiteral("-hgt"), QString::number(height)};
    command.display = displayCommandLine(program, config, encoderInput, output, width, height);
    // Last, so that it wins over the configuration's QP.
    if (settings.qp >= 0) {
        command.arguments << QStringLiteral("-q") << QString::number(settings.qp);
        command.display += QStringLiteral(" -q %1").arg(settings.qp);
    }
    return command;
}

void TranscodeJob::start(const JobSettings &jobSettings)
{
    if (running)
        return;
    settings = jobSettings;
    running = true;
    stopping = false;
    aborting = false;
    encoderEnded = false;
    encoderCrashed = false;
    decodeEnded = true;
    encoderExitCode = 0;
    picturesGiven = 0;
    expectedPictures = 0;
    pending = JobResult();
    lastProgressMs = -1;
    atLineStart = true;
    pictureLines = EncoderLineReader();
    reportFrameRate = 0;
    encodingSeconds = 0;
    clock.start();

    if (!checkOutputPath())
        return;
    if (settings.rawWidth != 0 && settings.rawHeight != 0)
        startRaw();
    else
        startDecoding();
}

bool TranscodeJob::checkOutputPath()
{
    const QString output = realPath(settings.output);
    const struct { const QString &path; const char *role; } others[] = {
        {settings.input, "input file"},
        {settings.config, "configuration file"},
        {settings.encoder, "encoder program"},
    };
    for (const auto &other : others) {
        if (other.path.isEmpty() || realPath(other.path) != output)
            continue;
        fail(JobResult::OutputUnusable,
             QStringLiteral("The output file %1 is the %2.\nChoose another output file; nothing was "
                            "changed.")
                 .arg(QDir::toNativeSeparators(absolute(settings.output)), QLatin1String(other.role)));
        return false;
    }
    return true;
}

void TranscodeJob::startRaw()
{
    if (launchEncoder(settings.input, settings.rawWidth, settings.rawHeight))
        return;
    finishIfDone();
}

void TranscodeJob::startDecoding()
{
    const QString folder = temporaryFolder();
    QString problem = temporaryFolderProblem(folder);
    if (problem.isEmpty()) {
        privateDir = std::make_unique<QTemporaryDir>(folder + QStringLiteral("/morlunex-XXXXXX"));
        if (!privateDir->isValid())
            problem = privateDir->errorString();
    }
    if (!problem.isEmpty()) {
        privateDir.reset();
        fail(JobResult::TemporaryUnusable,
             QStringLiteral("Cannot use the temporary folder %1:\n%2.\nNothing was written; set "
                            "TMPDIR to a folder that exists and can be written to.")
                 .arg(QDir::toNativeSeparators(folder), problem));
        return;
    }

    worker = new DecodeWorker(settings, privateDir->path());
    connect(worker, &DecodeWorker::opened, this, [this](qint64 expected) {
        expectedPictures = expected;
        reportProgress(true);
    });
    connect(worker, &DecodeWorker::readyForEncoder, this, &TranscodeJob::onReadyForEncoder);
    connect(worker, &DecodeWorker::picturesWritten, this, [this](qint64 pictures) {
        picturesGiven = pictures;
        reportProgress(false);
    });
    connect(worker, &DecodeWorker::message, this, &TranscodeJob::message);
    connect(worker, &DecodeWorker::warning, this, &TranscodeJob::warning);

    decodeEnded = false;
    decodeThread = QThread::create([this] { worker->run(); });
    connect(decodeThread, &QThread::finished, this, &TranscodeJob::onDecodeFinished);
    decodeThread->start();
}

void TranscodeJob::onReadyForEncoder(const QString &path, int width, int height)
{
    if (stopping) {
        worker->proceed(false);
        return;
    }
    worker->proceed(launchEncoder(path, width, height));
}

bool TranscodeJob::launchEncoder(const QString &encoderInput, int width, int height)
{
    const QString program = absolute(settings.encoder);
    const EncoderCommand command = encoderCommand(settings, encoderInput, width, height);

    encoder = new QProcess(this);
    // The encoder's diagnostics go to our own standard error instead of piling up unread.
    encoder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Program and arguments apart: every path reaches the encoder exactly, quotes included.
    encoder->setProgram(program);
    encoder->setArguments(command.arguments);
    connect(encoder, &QProcess::readyReadStandardOutput, this, &TranscodeJob::readEncoderOutput);
    connect(encoder, &QProcess::finished, this, &TranscodeJob::onEncoderFinished);

    emit commandLineReady(command.display);
    if (stopping) {
        // Stopped while the command line was shown.
        delete encoder;
        encoder = nullptr;
        return false;
    }
    encoder->start(QIODevice::ReadWrite);
    if (encoder->waitForStarted(30000))
        return true;

    fail(JobResult::EncoderDidNotStart,
         QStringLiteral("Error# %1\n%2: %3.")
             .arg(QString::number(int(encoder->error())), QDir::toNativeSeparators(program),
                  encoder->errorString()));
    // A process that never started emits no finished signal.
    delete encoder;
    encoder = nullptr;
    if (worker)
        worker->requestStop();
    return false;
}

void TranscodeJob::readEncoderOutput()
{
    if (!encoder || outputQueued)
        return;
    const QByteArray chunk = encoder->read(outputChunk);
    if (!chunk.isEmpty()) {
        countEncodedPictures(chunk);
        readPictureLines(chunk);
        emit encoderOutput(chunk);
    }
    // The rest comes in later turns of the event loop, so that the owner stays responsive.
    if (encoder && encoder->bytesAvailable() > 0) {
        outputQueued = true;
        QTimer::singleShot(0, this, [this] {
            outputQueued = false;
            readEncoderOutput();
        });
    }
}

void TranscodeJob::countEncodedPictures(const QByteArray &chunk)
{
    // A raw input goes to the encoder directly: its progress is the pictures the encoder
    // reports, one "POC" line each.
    if (worker || chunk.isEmpty())
        return;
    qint64 lines = chunk.count("\nPOC ");
    if (atLineStart && chunk.startsWith("POC "))
        ++lines;
    atLineStart = chunk.endsWith('\n');
    if (lines > 0) {
        picturesGiven += lines;
        reportProgress(false);
    }
}

void TranscodeJob::readPictureLines(const QByteArray &chunk)
{
    pictureLines.feed(chunk);
}

void TranscodeJob::onEncoderFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!encoder)
        return;
    outputQueued = false;
    while (encoder->bytesAvailable() > 0) {
        const QByteArray chunk = encoder->read(outputChunk);
        countEncodedPictures(chunk);
        readPictureLines(chunk);
        emit encoderOutput(chunk);
    }
    pictureLines.finish();
    encoderEnded = true;
    // A crash reports the signal's number as the code: never 0, so never taken for success.
    encoderExitCode = exitCode;
    encoderCrashed = status == QProcess::CrashExit;
    if (killTimer)
        killTimer->stop();
    if (worker)
        worker->encoderGone();
    finishIfDone();
}

void TranscodeJob::onDecodeFinished()
{
    decodeEnded = true;
    picturesGiven = worker->pictures();
    // At the end of the input the total is known exactly; the stream's count was an estimate.
    if (worker->reachedEnd() && !worker->encoderLeftEarly())
        expectedPictures = picturesGiven;
    reportProgress(true);
    if (worker->failure() != JobResult::NoFailure) {
        fail(worker->failure(), worker->failureText());
        return;
    }
    finishIfDone();
}

void TranscodeJob::reportProgress(bool force)
{
    const qint64 now = clock.elapsed();
    if (!force && lastProgressMs >= 0 && now - lastProgressMs < progressIntervalMs)
        return;
    lastProgressMs = now;
    JobProgress progress;
    progress.pictures = picturesGiven;
    progress.total = expectedPictures;
    progress.elapsedSeconds = now / 1000.0;
    if (progress.elapsedSeconds > 0)
        progress.picturesPerSecond = picturesGiven / progress.elapsedSeconds;
    if (progress.total > 0 && progress.picturesPerSecond > 0)
        progress.secondsLeft = qMax<qint64>(0, progress.total - picturesGiven) / progress.picturesPerSecond;
    emit progressChanged(progress);
}

void TranscodeJob::fail(JobResult::Failure failure, const QString &text)
{
    if (pending.failure == JobResult::NoFailure) {
        pending.outcome = JobResult::Failed;
        pending.failure = failure;
        pending.message = text;
    }
    stopWork();
    finishIfDone();
}

void TranscodeJob::stop()
{
    if (!running || stopping)
        return;
    stopping = true;
    stopWork();
}

void TranscodeJob::stopWork()
{
    if (worker)
        worker->requestStop();
    if (encoder && !encoderEnded && encoder->state() != QProcess::NotRunning) {
        encoder->terminate();
        if (!killTimer) {
            killTimer = new QTimer(this);
            killTimer->setSingleShot(true);
            connect(killTimer, &QTimer::timeout, this, [this] {
                if (encoder)
                    encoder->kill();
            });
        }
        killTimer->start(killDelayMs);
    }
}

void TranscodeJob::abort()
{
    if (!running)
        return;
    aborting = true;
    stopping = true;
    stopWork();
    if (encoder && !encoderEnded) {
        if (!encoder->waitForFinished(killDelayMs)) {
            encoder->kill();
            encoder->waitForFinished(killDelayMs);
        }
    }
    if (worker)
        worker->encoderGone();
    if (decodeThread)
        decodeThread->wait();
    if (rewriteThread) {
        rewriteThread->wait();
        delete rewriteThread;
        rewriteThread = nullptr;
    }
    cleanUp();
}

void TranscodeJob::cleanUp()
{
    if (decodeThread) {
        decodeThread->wait();
        delete decodeThread;
        decodeThread = nullptr;
    }
    delete worker;
    worker = nullptr;
    if (encoder) {
        encoder->disconnect(this);
        encoder->deleteLater();
        encoder = nullptr;
    }
    if (killTimer)
        killTimer->stop();
    // Removes the pipe or the frame file with the folder.
    privateDir.reset();
    running = false;
}

void TranscodeJob::finishIfDone()
{
    if (aborting || !running || !decodeEnded || (encoder && !encoderEnded) || rewriteThread)
        return;

    JobResult result = pending;
    result.pictures = picturesGiven;
    OutputFacts facts;
    bool rewrite = false;
    if (result.failure == JobResult::NoFailure && stopping) {
        result.outcome = JobResult::Stopped;
        emit message(QStringLiteral("Encoding stopped after %1 pictures.").arg(picturesGiven));
    } else if (result.failure == JobResult::NoFailure) {
        result.outcome = JobResult::Finished;
        result.exitCode = encoderExitCode;
        result.encoderCrashed = encoderCrashed;
        if (encoderCrashed)
            emit message(QStringLiteral("The encoder was ended by signal %1.").arg(encoderExitCode));
        if (worker && worker->encoderLeftEarly() && !worker->reachedEnd())
            emit message(QStringLiteral("The encoder exited with code %1 after it was given %2 of %3 "
                                        "pictures.")
                             .arg(QString::number(encoderExitCode), QString::number(picturesGiven),
                                  expectedPictures > 0 ? QString::number(expectedPictures)
                                                       : QStringLiteral("?")));
        rewrite = encoderExitCode == 0 && !encoderCrashed;
        facts = outputFacts();
    }
    prepareReport();
    cleanUp();
    running = true;  // until the rewrite is done

    if (!rewrite) {
        running = false;
        completeReport(&result);
        emit finished(result);
        return;
    }
    const QString output = absolute(settings.output);
    auto rewritten = std::make_shared<RewriteResult>();
    rewriteThread = QThread::create([output, facts, rewritten] {
        *rewritten = OutputRewriter::rewrite(output, facts);
    });
    connect(rewriteThread, &QThread::finished, this, [this, result, rewritten]() mutable {
        rewriteThread->deleteLater();
        rewriteThread = nullptr;
        running = false;
        if (!aborting) {
            if (rewritten->rewritten)
                emit message(rewritten->summary);
            else if (!rewritten->error.isEmpty())
                emit message(QStringLiteral("The output was left as the encoder wrote it: %1")
                                 .arg(rewritten->error));
        }
        if (!aborting) {
            completeReport(&result);
            emit finished(result);
        }
    });
    rewriteThread->start();
}

OutputFacts TranscodeJob::outputFacts() const
{
    OutputFacts facts;
    if (!worker) {
        // A raw input: shown as it is, at the frame rate the user gave.
        if (settings.rawFps > 0) {
            facts.frameRateNum = settings.rawFps;
            facts.frameRateDen = 1;
        }
        return facts;
    }
    // The padding is cropped; an odd size is rounded up to whole chroma samples, so that no
    // picture content is ever hidden.
    facts.shownWidth = (worker->width() + 1) & ~1;
    facts.shownHeight = (worker->height() + 1) & ~1;
    const StreamInfo &info = worker->streamInfo();
    facts.frameRateNum = info.frameRateNum;
    facts.frameRateDen = info.frameRateDen;
    facts.sarNum = info.sarNum;
    facts.sarDen = info.sarDen;
    facts.fullRange = worker->fullRange();
    facts.colourPrimaries = info.colourPrimaries;
    facts.transferCharacteristics = info.transferCharacteristics;
    facts.matrixCoefficients = info.matrixCoefficients;
    return facts;
}

void TranscodeJob::prepareReport()
{
    encodingSeconds = clock.elapsed() / 1000.0;
    // The rate the output is shown at: the input's, else the one typed for a raw input, else
    // the configuration's.
    reportFrameRate = 0;
    if (worker && worker->streamInfo().frameRateNum > 0 && worker->streamInfo().frameRateDen > 0)
        reportFrameRate = double(worker->streamInfo().frameRateNum) / worker->streamInfo().frameRateDen;
    else if (!worker && settings.rawFps > 0)
        reportFrameRate = settings.rawFps;
    EncoderConfigFile config;
    if (reportFrameRate <= 0 && config.read(settings.config))
        reportFrameRate = config.value(QStringLiteral("FrameRate")).toDouble();
}

void TranscodeJob::completeReport(JobResult *result)
{
    // A job that failed before the encoder said anything has nothing to report.
    if (result->outcome == JobResult::Failed && pictureLines.pictureCount() == 0)
        return;
    result->report.placeRows(0, pictureLines.rows());
    result->report.summarize(absolute(settings.output), reportFrameRate, encodingSeconds,
                             result->pictures, settings.qp);
}
