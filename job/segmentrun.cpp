#include "segmentrun.h"

#include "decodeworker.h"
#include "inputprobe.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// The encoder's output is handed on in pieces of at most this size, so that a very talkative
// encoder never holds the owner's thread for long.
constexpr qint64 outputChunk = 64 * 1024;
// How long a terminated encoder has before it is killed.
constexpr int killDelayMs = 2000;

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

SegmentRun::SegmentRun(const JobSettings &settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
{
    // An encoder that exits makes the next write into the pipe fail with EPIPE; the signal
    // that comes with it must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
}

SegmentRun::~SegmentRun()
{
    abort();
}

void SegmentRun::sweepAbandonedFolders()
{
    static const QRegularExpression name(QStringLiteral("^morlunex-([0-9]+)-[A-Za-z0-9]{6}$"));
    const QDir temporary(temporaryFolder());
    for (const QString &entry : temporary.entryList({QStringLiteral("morlunex-*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = name.match(entry);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno == EPERM)
            continue;
        QDir abandoned(temporary.filePath(entry));
        for (const QString &frames : abandoned.entryList({QStringLiteral("mlxtmp_*.420")}, QDir::Files | QDir::System))
            abandoned.remove(frames);
        temporary.rmdir(entry);
    }
}

QString SegmentRun::displayCommandLine(const QString &encoder, const QString &config,
                                       const QString &input, const QString &output, int width,
                                       int height)
{
    // One arg() call, so that a '%' inside a path is never taken for a placeholder.
    return QStringLiteral("\"%1\" -c \"%2\" -i \"%3\" -b \"%4\" -wdt %5 -hgt %6")
        .arg(encoder, config, input, output, QString::number(width), QString::number(height));
}

SegmentRun::EncoderCommand SegmentRun::encoderCommand(const JobSettings &settings, const QString &encoderInput,
                                                      int width, int height)
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

void SegmentRun::start()
{
    if (running)
        return;
    running = true;
    if (settings.rawWidth != 0 && settings.rawHeight != 0)
        startRaw();
    else
        startDecoding();
}

void SegmentRun::startRaw()
{
    if (launchEncoder(settings.input, settings.rawWidth, settings.rawHeight))
        return;
    finishIfDone();
}

void SegmentRun::startDecoding()
{
    const QString folder = temporaryFolder();
    QString problem = temporaryFolderProblem(folder);
    if (problem.isEmpty()) {
        // The process number in the name tells a folder whose process has gone.
        privateDir = std::make_unique<QTemporaryDir>(
            folder + QStringLiteral("/morlunex-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
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
    connect(worker, &DecodeWorker::opened, this, [this](qint64 expected, qint64 declared) {
        result.expected = expected;
        result.declared = declared;
        emit opened(expected, declared);
    });
    connect(worker, &DecodeWorker::readyForEncoder, this, &SegmentRun::onReadyForEncoder);
    connect(worker, &DecodeWorker::picturesWritten, this, [this](qint64 pictures) {
        picturesGiven = pictures;
        emit progressed(pictures);
    });
    connect(worker, &DecodeWorker::message, this, &SegmentRun::message);
    connect(worker, &DecodeWorker::warning, this, &SegmentRun::warning);

    decodeEnded = false;
    decodeThread = QThread::create([this] { worker->run(); });
    connect(decodeThread, &QThread::finished, this, &SegmentRun::onDecodeFinished);
    decodeThread->start();
}

void SegmentRun::onReadyForEncoder(const QString &path, int width, int height)
{
    if (stopping) {
        worker->proceed(false);
        return;
    }
    worker->proceed(launchEncoder(path, width, height));
}

bool SegmentRun::launchEncoder(const QString &encoderInput, int width, int height)
{
    const QString program = absolute(settings.encoder);
    const EncoderCommand command = encoderCommand(settings, encoderInput, width, height);

    encoder = new QProcess(this);
    // The encoder's diagnostics go to our own standard error instead of piling up unread, or
    // where the owner wants them.
    if (settings.encoderErrors.isEmpty()) {
        encoder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    } else {
        encoder->setProcessChannelMode(QProcess::SeparateChannels);
        encoder->setStandardErrorFile(settings.encoderErrors, QIODevice::Append);
    }
    // Program and arguments apart: every path reaches the encoder exactly, quotes included.
    encoder->setProgram(program);
    encoder->setArguments(command.arguments);
#ifdef Q_OS_LINUX
    // The encoder never outlives the program, even one killed outright: a later run of the
    // same job must not meet an orphan still writing its segment or blocked on its pipe.
    encoder->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    connect(encoder, &QProcess::readyReadStandardOutput, this, &SegmentRun::readEncoderOutput);
    connect(encoder, &QProcess::finished, this, &SegmentRun::onEncoderFinished);

    emit commandLineReady(command.display);
    result.before = OutputGuard::stamp(absolute(settings.output));
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

void SegmentRun::readEncoderOutput()
{
    if (!encoder || outputQueued)
        return;
    const QByteArray chunk = encoder->read(outputChunk);
    if (!chunk.isEmpty()) {
        countEncodedPictures(chunk);
        pictureLines.feed(chunk);
        passOn(chunk, false);
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

void SegmentRun::passOn(const QByteArray &chunk, bool last)
{
    if (linePrefix.isEmpty()) {
        if (!chunk.isEmpty())
            emit encoderOutput(chunk);
        return;
    }
    // Whole lines only, each with the prefix, so that lines of runs side by side never mix.
    partialLine += chunk;
    QByteArray lines;
    qsizetype from = 0;
    for (qsizetype end = partialLine.indexOf('\n'); end >= 0; end = partialLine.indexOf('\n', from)) {
        lines += linePrefix + partialLine.mid(from, end + 1 - from);
        from = end + 1;
    }
    partialLine.remove(0, from);
    if (last && !partialLine.isEmpty()) {
        lines += linePrefix + partialLine + '\n';
        partialLine.clear();
    }
    if (!lines.isEmpty())
        emit encoderOutput(lines);
}

void SegmentRun::countEncodedPictures(const QByteArray &chunk)
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
        emit progressed(picturesGiven);
    }
}

void SegmentRun::onEncoderFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!encoder)
        return;
    outputQueued = false;
    while (encoder->bytesAvailable() > 0) {
        const QByteArray chunk = encoder->read(outputChunk);
        countEncodedPictures(chunk);
        pictureLines.feed(chunk);
        passOn(chunk, false);
    }
    passOn(QByteArray(), true);
    pictureLines.finish();
    encoderEnded = true;
    // A crash reports the signal's number as the code: never 0, so never taken for success.
    result.exitCode = exitCode;
    result.crashed = status == QProcess::CrashExit;
    if (killTimer)
        killTimer->stop();
    if (worker)
        worker->encoderGone();
    finishIfDone();
}

void SegmentRun::onDecodeFinished()
{
    decodeEnded = true;
    picturesGiven = worker->pictures();
    result.reachedEnd = worker->reachedEnd();
    result.encoderLeftEarly = worker->encoderLeftEarly();
    result.declaredExact = worker->streamInfo().pictureCountDeclared;
    result.times = worker->pictureTimes();
    emit progressed(picturesGiven);
    if (worker->failure() != JobResult::NoFailure) {
        fail(worker->failure(), worker->failureText());
        return;
    }
    finishIfDone();
}

void SegmentRun::fail(JobResult::Failure failure, const QString &text)
{
    if (result.failure == JobResult::NoFailure) {
        result.failure = failure;
        result.message = text;
    }
    stopWork();
    finishIfDone();
}

void SegmentRun::stop()
{
    if (!running || stopping)
        return;
    stopping = true;
    stopWork();
}

void SegmentRun::stopWork()
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

void SegmentRun::abort()
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
    cleanUp();
}

void SegmentRun::cleanUp()
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

void SegmentRun::finishIfDone()
{
    if (aborting || !running || !decodeEnded || (encoder && !encoderEnded))
        return;
    result.pictures = picturesGiven;
    result.rows = pictureLines.rows();
    if (result.failure != JobResult::NoFailure) {
        result.kind = Outcome::Failed;
    } else if (stopping) {
        result.kind = Outcome::Stopped;
    } else {
        result.kind = Outcome::Encoded;
        result.facts = outputFacts();
    }
    cleanUp();
    emit finished();
}

OutputFacts SegmentRun::outputFacts() const
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
    return InputProbe::factsFor(worker->streamInfo(), worker->width(), worker->height(), worker->fullRange(),
                                worker->chromaFormat());
}
