#include "segmentrun.h"

#include "childcpu.h"
#include "decodeworker.h"
#include "encoderconfigfile.h"
#include "encoderinputwatch.h"
#include "filecheck.h"
#include "framesink.h"
#include "inputprobe.h"
#include "rawfeed.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
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
// How often the encoder is looked at for a second open of its pipe.
constexpr int watchIntervalMs = 250;
// An encoder that fails within this time after its start refused to start: a bad configuration.
constexpr qint64 earlyExitMs = 5000;

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

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Bytes of one picture at this size, chroma format (400, 420, 422, 444) and depth.
qint64 pictureBytes(int width, int height, int chroma, int depth)
{
    const qint64 luma = qint64(width) * height;
    const qint64 chromaSamples = chroma == 400 ? 0 : chroma == 444 ? 2 * luma : chroma == 422 ? luma : luma / 2;
    return (luma + chromaSamples) * (depth > 8 ? 2 : 1);
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
    configReadable = config.read(settings.config);
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
        // The frame file, and whatever a segment's encoder wrote beside it (its ReconFile).
        QDir abandoned(temporary.filePath(entry));
        for (const QString &file : abandoned.entryList(QDir::Files | QDir::System | QDir::Hidden))
            abandoned.remove(file);
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
    if (rawByPath())
        startRaw();
    else
        startFeed();
}

bool SegmentRun::isRaw() const
{
    return settings.rawWidth != 0 && settings.rawHeight != 0;
}

// A raw input in one piece goes to the encoder as it is, by its path; a stretch of it (a
// segment, a span) is read from its first picture's byte offset and fed through a pipe.
bool SegmentRun::rawByPath() const
{
    return isRaw() && !segment && settings.startPicture == 0 && settings.pictureLimit < 0;
}

void SegmentRun::startRaw()
{
    const RawFeed::Layout layout =
        RawFeed::layout(settings.rawWidth, settings.rawHeight, config, QFileInfo(settings.input).size());
    if (layout.leftover > 0)
        emit message(RawFeed::leftoverText(settings.input, layout, false));
    if (launchEncoder(settings.input, settings.rawWidth, settings.rawHeight))
        return;
    finishIfDone();
}

void SegmentRun::startFeed()
{
    const QString folder = temporaryFolder();
    // A run that starts over keeps its folder, so that the command line stays the same.
    QString problem = privateDir ? QString() : temporaryFolderProblem(folder);
    if (problem.isEmpty() && !privateDir) {
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

    // Absolute: the encoder may run in another folder than this process.
    const QString ownFolder = QFileInfo(privateDir->path()).absoluteFilePath();
    if (isRaw())
        worker = new RawFeed(settings, ownFolder);
    else
        worker = new DecodeWorker(settings, ownFolder);
    const QString reason = completeFileReason();
    completeFile = !reason.isEmpty();
    preparingFile = completeFile;
    preparedPictures = 0;
    if (completeFile)
        worker->setCompleteFile(reason, segment);
    connect(worker, &PictureFeed::opened, this, [this](qint64 expected, qint64 declared) {
        result.expected = expected;
        result.declared = declared;
        emit opened(expected, declared);
    });
    connect(worker, &PictureFeed::readyForEncoder, this, &SegmentRun::onReadyForEncoder);
    connect(worker, &PictureFeed::picturesWritten, this, [this](qint64 pictures) {
        if (completeFile)
            preparedPictures = pictures;
        else
            picturesGiven = pictures;
        emit progressed(picturesGiven);
    });
    connect(worker, &PictureFeed::message, this, &SegmentRun::message);
    connect(worker, &PictureFeed::warning, this, &SegmentRun::warning);

    decodeEnded = false;
    decodeThread = QThread::create([this] { worker->run(); });
    connect(decodeThread, &QThread::finished, this, &SegmentRun::onDecodeFinished);
    decodeThread->start();
}

void SegmentRun::onReadyForEncoder(const QString &path, int width, int height, bool pipe)
{
    if (stopping || rerouting) {
        worker->proceed(false);
        return;
    }
    framePath = path;
    const bool launched = launchEncoder(path, width, height);
    if (launched && pipe) {
        inputWatch = std::make_unique<EncoderInputWatch>(path, encoder->processId());
        if (!watchTimer) {
            watchTimer = new QTimer(this);
            connect(watchTimer, &QTimer::timeout, this, &SegmentRun::watchInput);
        }
        watchTimer->start(watchIntervalMs);
    }
    if (launched && preparingFile) {
        preparingFile = false;
        emit stageChanged();
    }
    worker->proceed(launched);
}

// An encoder that reads its input twice cannot read it from a pipe: the reference encoder's
// temporal filter opens the input again by name to read the pictures around the one it codes.
QString SegmentRun::completeFileReason() const
{
    if (fileFromStart)
        return QStringLiteral("The encoder reads its input twice");
    const QString filter = QStringLiteral("TemporalFilter");
    if (config.intValue(filter, 0) != 0 || config.value(filter).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("The configuration turns on TemporalFilter, which reads the input twice");
    return QString();
}

// Where the encoder runs, and so where its side files (the configuration's relative ReconFile)
// land: a segment's in its private folder; otherwise the output's folder, as it would by hand,
// unless a raw input typed with a relative name (handed over as typed) names it only from
// the current folder.
QString SegmentRun::encoderFolder() const
{
    if (segment && privateDir)
        return QFileInfo(privateDir->path()).absoluteFilePath();
    const QString outputFolder = QFileInfo(absolute(settings.output)).absolutePath();
    if (rawByPath() && QFileInfo(settings.input).isRelative()
        && !FileCheck::sameFile(settings.input, outputFolder + QLatin1Char('/') + settings.input))
        return QDir::currentPath();
    return outputFolder;
}

// Says before the encoder starts where its reconstructed pictures go, and how much they take.
void SegmentRun::describeSideFiles(const QString &folder, int width, int height)
{
    const QString recon = config.value(QStringLiteral("ReconFile"));
    const bool elsewhere = QDir::isAbsolutePath(recon);
    if (segment) {
        emit message(QStringLiteral("Each segment's encoder runs in a temporary folder of its own; what it writes "
                                    "there besides its bitstream%1 is discarded with the folder.")
                         .arg(recon.isEmpty() || elsewhere
                                  ? QString()
                                  : QStringLiteral(" (the configuration's ReconFile %1)").arg(recon)));
        if (elsewhere)
            emit message(QStringLiteral("The configuration's ReconFile %1 is outside the segments' folders: every "
                                        "segment's encoder writes it, each over the one before.")
                             .arg(native(recon)));
        return;
    }
    if (recon.isEmpty())
        return;
    // As the reference encoder writes it: at the output depth (else the internal one, else the
    // input's) and the coded chroma format (else the input's).
    const int inputDepth = config.intValue(QStringLiteral("InputBitDepth"), 8);
    const int inputChroma = config.intValue(QStringLiteral("InputChromaFormat"), 420);
    int depth = config.intValue(QStringLiteral("OutputBitDepth"), 0);
    if (depth <= 0)
        depth = config.intValue(QStringLiteral("InternalBitDepth"), 0);
    if (depth <= 0)
        depth = inputDepth;
    int chroma = config.intValue(QStringLiteral("ChromaFormatIDC"), 0);
    if (chroma <= 0)
        chroma = inputChroma;
    const qint64 bytes = pictureBytes(width, height, chroma, depth);
    qint64 count = result.expected;
    if (!worker) {
        const qint64 inputBytes = pictureBytes(width, height, inputChroma, inputDepth);
        count = inputBytes > 0 ? QFileInfo(settings.input).size() / inputBytes : 0;
    }
    count -= qMax(0, config.intValue(QStringLiteral("FrameSkip"), 0));
    const int limit = config.intValue(QStringLiteral("FramesToBeEncoded"), 0);
    if (limit > 0)
        count = qMin<qint64>(count, limit);
    const QString size = count > 0 ? QStringLiteral("%1 pictures of %2 bytes, %3")
                                         .arg(count).arg(bytes).arg(FrameSink::sizeText(count * bytes))
                                   : QStringLiteral("%1 bytes a picture").arg(bytes);
    emit message(QStringLiteral("The configuration's ReconFile has the encoder write a reconstructed copy of every "
                                "picture to %1: %2.")
                     .arg(native(QDir::cleanPath(QDir(folder).absoluteFilePath(recon))), size));
}

// A configuration the encoder refuses at once often lacks the source keys that the reference
// encoder's stock files leave to a per-sequence file (it refuses FramesToBeEncoded 0).
void SegmentRun::hintAtSourceKeys()
{
    if (!configReadable)
        return;
    int rate = settings.rawFps;
    if (worker && worker->streamInfo().frameRateDen > 0)
        rate = qRound(double(worker->streamInfo().frameRateNum) / worker->streamInfo().frameRateDen);
    const struct { const char *key; QString example; } keys[] = {
        {"FrameRate", QString::number(rate > 0 ? rate : 25)},
        {"FramesToBeEncoded", QStringLiteral("1000000")},
        {"InputBitDepth", QStringLiteral("8")},
        {"InputChromaFormat", QStringLiteral("420")},
        {"FrameSkip", QStringLiteral("0")},
    };
    QStringList missing, examples;
    for (const auto &key : keys) {
        if (config.contains(QLatin1String(key.key)))
            continue;
        missing << QLatin1String(key.key);
        examples << QStringLiteral("%1 : %2").arg(QLatin1String(key.key), key.example);
    }
    if (missing.isEmpty())
        return;
    emit message(QStringLiteral("The encoder refused to start, and the configuration %1 lacks %2, which the "
                                "reference encoder's stock files leave to a per-sequence file: add %3 at its top, "
                                "e.g. \"%4\" (the encoder stops at the input's end).")
                     .arg(native(absolute(settings.config)), missing.join(QStringLiteral(", ")),
                          missing.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                          examples.join(QStringLiteral("\", \""))));
}

void SegmentRun::watchInput()
{
    if (!inputWatch || rerouting || stopping)
        return;
    const QString what = inputWatch->check(worker && worker->pipeOpen(), decodeEnded);
    if (!what.isEmpty())
        reroute(what);
}

void SegmentRun::stopWatch()
{
    if (watchTimer)
        watchTimer->stop();
    inputWatch.reset();
}

// The encoder must read its input twice: it is stopped, and once it and the decode have ended,
// the run starts over through a complete file (startOver).
void SegmentRun::reroute(const QString &what)
{
    rerouting = true;
    stopWatch();
    emit message(QStringLiteral("The encoder %1, which a pipe cannot serve: it is stopped, and the job runs again "
                                "from the start through a file written whole before the encoder starts.")
                     .arg(what));
    emit readsInputTwice();
    stopWork();
}

void SegmentRun::startOver()
{
    passOn(QByteArray(), true);
    tearDown();
    // The same name in the same folder, so that the command line stays as it was shown.
    QFile::remove(framePath);
    rerouting = false;
    encoderEnded = false;
    outputQueued = false;
    atLineStart = true;
    picturesGiven = 0;
    handedOver = -1;
    exitedAtOnce = false;
    // The report holds what the second try's encoder says.
    pictureLines = EncoderLineReader();
    result.exitCode = 0;
    result.crashed = false;
    fileFromStart = true;
    emit progressed(0);
    startFeed();
}

// A process of the encoder's that still waits in an open of the pipe (a helper that outlives
// the encoder) is let go: the job's end is opened and closed at once, which ends that open,
// and its reads meet the end of the file.
void SegmentRun::releasePipeOpeners()
{
    if (framePath.isEmpty())
        return;
    const QByteArray name = QFile::encodeName(framePath);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0 || !S_ISFIFO(info.st_mode))
        return;
    const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
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
    const QString folder = encoderFolder();
    encoder->setWorkingDirectory(folder);
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

    // A run that starts over keeps the command line it showed, and the output's state before it.
    if (!stamped) {
        emit commandLineReady(command.display);
        describeSideFiles(folder, width, height);
        result.before = OutputGuard::stamp(absolute(settings.output));
        stamped = true;
    }
    if (stopping) {
        // Stopped while the command line was shown.
        delete encoder;
        encoder = nullptr;
        return false;
    }
    encoder->start(QIODevice::ReadWrite);
    if (encoder->waitForStarted(30000)) {
        encoderClock.start();
        return true;
    }

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
    // A raw input goes to the encoder directly, and a complete file before it starts: the
    // progress is the pictures the encoder reports, one "POC" line each.
    if ((worker && !completeFile) || chunk.isEmpty())
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
    // Taken at once, before any other child of this process can end: the encoder's own.
    result.encoderCpuSeconds += ChildCpu::sinceLastTake();
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
    // A last look: a second open just before the encoder exited makes its result suspect too.
    watchInput();
    stopWatch();
    // A crash reports the signal's number as the code: never 0, so never taken for success.
    result.exitCode = exitCode;
    result.crashed = status == QProcess::CrashExit;
    exitedAtOnce = !stopping && !rerouting && status == QProcess::NormalExit && exitCode != 0
        && encoderClock.isValid() && encoderClock.elapsed() < earlyExitMs;
    if (killTimer)
        killTimer->stop();
    if (worker)
        worker->encoderGone();
    finishIfDone();
}

void SegmentRun::onDecodeFinished()
{
    decodeEnded = true;
    handedOver = worker->pictures();
    if (!completeFile)
        picturesGiven = handedOver;
    result.reachedEnd = worker->reachedEnd();
    result.inputPictures = worker->picturesInInput();
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

void SegmentRun::tearDown()
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
    stopWatch();
    releasePipeOpeners();
}

void SegmentRun::cleanUp()
{
    tearDown();
    // Removes the pipe or the frame file with the folder, and a segment's side files.
    privateDir.reset();
    running = false;
}

void SegmentRun::finishIfDone()
{
    if (aborting || !running || !decodeEnded || (encoder && !encoderEnded))
        return;
    if (rerouting && !stopping && result.failure == JobResult::NoFailure) {
        startOver();
        return;
    }
    if (exitedAtOnce)
        hintAtSourceKeys();
    result.pictures = handedOver >= 0 ? handedOver : picturesGiven;
    result.fed = !rawByPath();
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
    // A raw input is shown as it is, at the frame rate the user gave.
    if (isRaw())
        return InputProbe::rawFacts(settings);
    return InputProbe::factsFor(worker->streamInfo(), worker->width(), worker->height(), worker->fullRange(),
                                worker->chromaFormat());
}
