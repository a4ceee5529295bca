#include "encoderrun.h"

#include "encodercommand.h"
#include "seamsupport.h"

#include "bitstream/avlibraries.h"
#include "feed/decodeworker.h"
#include "feed/encoderinputwatch.h"
#include "feed/rawfeed.h"
#include "files/pathtext.h"
#include "jobtypes/joboutput.h"
#include "process/childcpu.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using PathText::absolute;
using PathText::native;

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
// How long an encoder program may take to start (loaded from a slow disk, say) before it counts
// as one that cannot be started.
constexpr int startWaitMs = 30000;

} // namespace

EncoderRun::EncoderRun(const JobSettings &settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , advice(settings.config)
    , recon(advice.config().value(QStringLiteral("ReconFile")))
    , outputTimer(new QTimer(this))
    , stall(absolute(settings.output))
    , stallTimer(new QTimer(this))
{
    connect(stallTimer, &QTimer::timeout, this, &EncoderRun::watchStall);
    outputTimer->setSingleShot(true);
    outputTimer->setInterval(0);
    connect(outputTimer, &QTimer::timeout, this, &EncoderRun::readEncoderOutput);
}

EncoderRun::~EncoderRun()
{
    abort();
}

void EncoderRun::start()
{
    if (now != Stage::Ready)
        return;
    now = Stage::Running;
    attempt = 1;
    if (rawByPath())
        startRaw();
    else
        startFeed();
}

bool EncoderRun::isRaw() const
{
    return settings.rawWidth != 0 && settings.rawHeight != 0;
}

// A raw input in one piece goes to the encoder as it is, by its path; a stretch of it (a
// segment, a span) is read from its first picture's byte offset and fed through a pipe.
bool EncoderRun::rawByPath() const
{
    return isRaw() && !segment() && settings.startPicture == 0 && settings.pictureLimit < 0;
}

void EncoderRun::startRaw()
{
    const RawFeed::Layout layout =
        RawFeed::layout(settings.rawWidth, settings.rawHeight, advice.config(), QFileInfo(settings.input).size());
    if (layout.leftover > 0)
        emit message(RawFeed::leftoverText(settings.input, layout, false));
    // The encoder runs in the private folder: the file goes to it by its absolute path.
    QString problem;
    if (!privateFolder.make(&problem))
        fail(JobResult::TemporaryUnusable, problem);
    else if (launchEncoder(absolute(settings.input), settings.rawWidth, settings.rawHeight, layout.pictures))
        return;
    finishIfDone();
}

void EncoderRun::startFeed()
{
    // A run that starts over keeps its folder, so that the command line stays the same.
    QString problem;
    if (!privateFolder.make(&problem)) {
        fail(JobResult::TemporaryUnusable, problem);
        return;
    }

    if (isRaw())
        worker = new RawFeed(settings, privateFolder.path());
    else
        worker = new DecodeWorker(settings, privateFolder.path());
    const QString reason = advice.completeFileReason(route == Route::CompleteFile);
    route = reason.isEmpty() ? Route::Stream : Route::CompleteFile;
    now = route == Route::CompleteFile ? Stage::Preparing : Stage::Running;
    preparedPictures = 0;
    if (route == Route::CompleteFile)
        worker->setCompleteFile(reason, segment());
    // The bundled encoder ends at its input's end; any other is told where that is, which a
    // complete file knows once it is whole, and a pipe must know before the first picture.
    worker->setCountWanted(route != Route::CompleteFile && !SeamSupport::isBundled(settings.encoder));
    context = FilterContext::of(settings, overlap());
    worker->setContext(context.before(), context.after(), overlap());
    if (context.active() && attempt == 1)
        emit message(context.line());
    connect(worker, &PictureFeed::opened, this, [this](qint64 expected, qint64 declared) {
        result.pictures.expected = expected;
        result.pictures.declared = declared;
        emit opened(expected, declared);
    });
    connect(worker, &PictureFeed::readyForEncoder, this, &EncoderRun::onReadyForEncoder);
    connect(worker, &PictureFeed::picturesWritten, this, [this](qint64 pictures) {
        if (route == Route::CompleteFile)
            preparedPictures = pictures;
        else
            picturesGiven = pictures;
        emit progressed(picturesGiven);
    });
    connect(worker, &PictureFeed::message, this, &EncoderRun::message);
    connect(worker, &PictureFeed::warning, this, &EncoderRun::warning);

    decodeThread = QThread::create([this] { worker->run(); });
    connect(decodeThread, &QThread::finished, this, &EncoderRun::onDecodeFinished);
    decodeThread->start();
}

void EncoderRun::onReadyForEncoder(const QString &path, int width, int height, bool pipe, qint64 handing)
{
    if (now != Stage::Preparing && now != Stage::Running) {
        worker->proceed(false);
        return;
    }
    framePath = path;
    const bool launched = launchEncoder(path, width, height, handing);
    if (launched && pipe) {
        inputWatch = std::make_unique<EncoderInputWatch>(path, encoder->processId());
        if (!watchTimer) {
            watchTimer = new QTimer(this);
            connect(watchTimer, &QTimer::timeout, this, &EncoderRun::watchInput);
        }
        watchTimer->start(watchIntervalMs);
    }
    if (launched && now == Stage::Preparing) {
        now = Stage::Running;
        emit stageChanged();
    }
    worker->proceed(launched);
}

// A configuration the encoder refuses at once often lacks the source keys that the reference
// encoder's stock files leave to a per-sequence file.
QString EncoderRun::sourceKeysHint() const
{
    int rate = settings.rawFps;
    if (worker && worker->streamInfo().frameRateDen > 0)
        rate = qRound(double(worker->streamInfo().frameRateNum) / worker->streamInfo().frameRateDen);
    return advice.sourceKeysHint(rate);
}

void EncoderRun::watchInput()
{
    if (!inputWatch || now != Stage::Running)
        return;
    const QString what = inputWatch->check(worker && worker->pipeOpen(), !decodeThread);
    if (!what.isEmpty())
        reroute(what);
}

void EncoderRun::stopWatch()
{
    if (watchTimer)
        watchTimer->stop();
    inputWatch.reset();
}

// The encoder must read its input twice: it is stopped, and once it and the decode have ended,
// the run starts over through a complete file (startOver).
void EncoderRun::reroute(const QString &what)
{
    now = Stage::Rerouting;
    stopWatch();
    emit message(QStringLiteral("The encoder %1, which a pipe cannot serve: it is stopped, and the job runs again "
                                "from the start through a file written whole before the encoder starts.")
                     .arg(what));
    emit readsInputTwice();
    stopWork();
}

void EncoderRun::startOver()
{
    handOn(lines.finish());
    tearDown();
    // The same name in the same folder, so that the command line stays as it was shown.
    QFile::remove(framePath);
    outputTimer->stop();
    picturesGiven = 0;
    handedOver = -1;
    endHint.clear();
    // The report holds what the second try's encoder says.
    lines.restart();
    result.verdict.exitCode = 0;
    result.verdict.crashed = false;
    result.verdict.picturesMissing.clear();
    route = Route::CompleteFile;
    ++attempt;
    emit progressed(0);
    startFeed();
}

// A process of the encoder's that still waits in an open of the pipe (a helper that outlives
// the encoder) is let go: the job's end is opened and closed at once, which ends that open,
// and its reads meet the end of the file.
void EncoderRun::releasePipeOpeners()
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

// The configuration the encoder is given: the settings' own, or a copy in the private folder
// that says which pictures of the file to code, where its temporal filter reads pictures around
// the stretch, or how many pictures its input holds for it (handing: those the input file holds,
// -1 when not known), or that names no ReconFile, where this run must not write the one it names.
// Empty when the copy cannot be written (the run has failed then).
QString EncoderRun::configForEncoder(int width, int height, qint64 handing)
{
    QByteArray added = recon.configLines() + cropLines(width, height);
    if (!context.active() && !SeamSupport::isBundled(settings.encoder))
        added += advice.endLines(handing);
    if (context.active() && worker) {
        // The complete file is whole by now: every picture of it was counted.
        const qint64 handed = preparedPictures;
        qint64 coded = qMax<qint64>(0, handed - context.before());
        if (settings.pictureLimit >= 0)
            coded = qMin(coded, settings.pictureLimit + (overlap() ? 1 : 0));
        added += context.configLines(handed, coded);
    }
    if (added.isEmpty())
        return settings.config;
    QString problem;
    const QString copy = advice.writeCopy(privateFolder.path(), added, &problem);
    if (copy.isEmpty())
        fail(JobResult::TemporaryUnusable, problem);
    return copy;
}

// A codec whose parameter sets are not rewritten afterwards gets the padding of pictures
// handed over at `width` x `height` cropped by the encoder itself: the configuration's copy sets
// its conformance window. Empty where nothing is padded or the rewrite crops.
QByteArray EncoderRun::cropLines(int width, int height)
{
    if (isRaw() || !worker || JobOutput::codecOf(settings).rewritesOutput())
        return QByteArray();
    const OutputFacts shown = outputFacts();
    const int right = width - shown.shownWidth, bottom = height - shown.shownHeight;
    if (right <= 0 && bottom <= 0)
        return QByteArray();
    if (attempt == 1)
        emit message(QStringLiteral("The encoder is handed pictures padded to %1x%2; the copy of the configuration it "
                                    "is given crops them back to %3x%4 in the stream's conformance window "
                                    "(ConformanceWindowMode 3).")
                         .arg(width).arg(height).arg(shown.shownWidth).arg(shown.shownHeight));
    return QStringLiteral("\n# The padding cropped, added by the transcoder\nConformanceWindowMode : 3\n"
                          "ConfWinLeft : 0\nConfWinRight : %1\nConfWinTop : 0\nConfWinBottom : %2\n")
        .arg(qMax(0, right)).arg(qMax(0, bottom)).toLatin1();
}

bool EncoderRun::launchEncoder(const QString &encoderInput, int width, int height, qint64 handing)
{
    // Where the encoder runs, and so where a relative ReconFile lands: the private folder.
    const QString folder = recon.prepare(privateFolder.path(), segment());
    JobSettings forEncoder = settings;
    forEncoder.config = configForEncoder(width, height, handing);
    if (forEncoder.config.isEmpty()) {
        if (worker)
            worker->requestStop();
        return false;
    }
    const EncoderCommand command = EncoderCommand::make(forEncoder, encoderInput, width, height);
    encoder = new QProcess(this);
    command.setUp(encoder, settings.encoderErrors, folder);
    connect(encoder, &QProcess::readyReadStandardOutput, this, &EncoderRun::readEncoderOutput);
    connect(encoder, &QProcess::finished, this, &EncoderRun::onEncoderFinished);

    // A run that starts over keeps the command line it showed.
    if (attempt == 1) {
        emit commandLineReady(command.display);
        // A segment's bitstream is in the parts folder beside the job's output.
        QString outputFolder = QFileInfo(absolute(settings.output)).absolutePath();
        if (segment())
            outputFolder = QFileInfo(outputFolder).absolutePath();
        const QString reconLine = advice.reconLine(recon, outputFolder, width, height, result.pictures.expected,
                                                   worker ? QString() : settings.input);
        if (!reconLine.isEmpty())
            emit message(reconLine);
    }
    if (now == Stage::Stopping || now == Stage::Aborting) {
        // Stopped while the command line was shown.
        delete encoder;
        encoder = nullptr;
        return false;
    }
    encoder->start(QIODevice::ReadWrite);
    if (encoder->waitForStarted(startWaitMs)) {
        encoderClock.start();
        // Rewriting and checking the encoder's output need FFmpeg's libraries: a run that
        // decoded nothing loads them while it waits for the encoder.
        AvLibraries::loadSoon();
        stall.start();
        // A raw input by path and a complete file are whole before the encoder starts.
        if (!worker || route == Route::CompleteFile)
            stall.allDelivered();
        stallTimer->start(stall.intervalMs());
        return true;
    }

    fail(JobResult::EncoderDidNotStart,
         QStringLiteral("Error# %1\n%2: %3.")
             .arg(QString::number(int(encoder->error())), native(command.program),
                  encoder->errorString()));
    // A process that never started emits no finished signal.
    delete encoder;
    encoder = nullptr;
    if (worker)
        worker->requestStop();
    return false;
}

void EncoderRun::readEncoderOutput()
{
    if (!encoder || outputTimer->isActive())
        return;
    const QByteArray chunk = encoder->read(outputChunk);
    if (!chunk.isEmpty()) {
        stall.outputSeen();
        takeEncoderOutput(chunk);
    }
    // The rest comes in later turns of the event loop, so that the owner stays responsive.
    if (encoder && encoder->bytesAvailable() > 0)
        outputTimer->start();
}

void EncoderRun::takeEncoderOutput(const QByteArray &chunk)
{
    qint64 coded = 0;
    const QByteArray bytes = lines.take(chunk, &coded);
    // A raw input goes to the encoder directly, and a complete file before it starts: the
    // progress is the pictures the encoder reports, one "POC" line each.
    if (coded > 0 && (!worker || route == Route::CompleteFile)) {
        picturesGiven += coded;
        emit progressed(picturesGiven);
    }
    handOn(bytes);
}

void EncoderRun::handOn(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        emit encoderOutput(bytes);
}

void EncoderRun::onEncoderFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!encoder)
        return;
    // Taken at once, before any other child of this process can end: the encoder's own.
    result.bitstream.encoderCpuSeconds += ChildCpu::sinceLastTake();
    outputTimer->stop();
    while (encoder->bytesAvailable() > 0)
        takeEncoderOutput(encoder->read(outputChunk));
    handOn(lines.finish());
    // A last look: a second open just before the encoder exited makes its result suspect too.
    watchInput();
    stopWatch();
    stallTimer->stop();
    // The encoder's end is taken: from here on the run waits for nothing of it.
    encoder->disconnect(this);
    encoder->deleteLater();
    encoder = nullptr;
    // A crash reports the signal's number as the code: never 0, so never taken for success.
    result.verdict.exitCode = exitCode;
    result.verdict.crashed = status == QProcess::CrashExit;
    const bool onItsOwn = now != Stage::Stopping && now != Stage::Aborting && now != Stage::Rerouting;
    if (onItsOwn && status == QProcess::NormalExit && exitCode != 0 && encoderClock.isValid()
        && encoderClock.elapsed() < earlyExitMs)
        endHint = sourceKeysHint();
    if (killTimer)
        killTimer->stop();
    if (worker)
        worker->encoderGone();
    finishIfDone();
}

void EncoderRun::onDecodeFinished()
{
    // The decode's end is taken: from here on the run waits for nothing of it. (An end that
    // comes after an abort took the thread is not heard.)
    if (!decodeThread)
        return;
    decodeThread->wait();
    delete decodeThread;
    decodeThread = nullptr;
    handedOver = worker->pictures();
    result.pictures.coded = worker->codedPictures();
    stall.allDelivered();
    if (route != Route::CompleteFile)
        picturesGiven = handedOver;
    result.pictures.reachedEnd = worker->reachedEnd();
    result.pictures.inputPictures = worker->picturesInInput();
    result.pictures.encoderLeftEarly = worker->encoderLeftEarly();
    result.pictures.declaredExact = worker->streamInfo().pictureCountDeclared;
    result.pictures.times = worker->pictureTimes();
    result.verdict.picturesMissing = worker->picturesMissing();
    emit progressed(picturesGiven);
    if (worker->failure() != JobResult::NoFailure) {
        fail(worker->failure(), worker->failureText());
        return;
    }
    finishIfDone();
}

// An encoder that had every picture and then shows no sign of work for long never ends by
// itself: the log says so, and the run fails, its bitstream kept as any failed run's.
void EncoderRun::watchStall()
{
    if (now != Stage::Running || !encoder || !stall.stalled())
        return;
    stallTimer->stop();
    const QString text = stall.text();
    emit message(text);
    fail(JobResult::EncoderStalled, text);
}

void EncoderRun::fail(JobResult::Failure failure, const QString &text)
{
    if (result.verdict.failure == JobResult::NoFailure) {
        result.verdict.failure = failure;
        result.verdict.message = text;
    }
    if (now == Stage::Preparing || now == Stage::Running)
        now = Stage::Failing;
    stopWork();
    finishIfDone();
}

void EncoderRun::stop()
{
    if (now != Stage::Preparing && now != Stage::Running && now != Stage::Failing && now != Stage::Rerouting)
        return;
    now = Stage::Stopping;
    stopWork();
}

void EncoderRun::stopWork()
{
    if (worker)
        worker->requestStop();
    if (encoder && encoder->state() != QProcess::NotRunning) {
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

void EncoderRun::abort()
{
    if (now == Stage::Ready || now == Stage::Ended)
        return;
    now = Stage::Aborting;
    stopWork();
    // Its end, heard while it is waited for, takes the encoder.
    if (encoder && !encoder->waitForFinished(killDelayMs) && encoder) {
        encoder->kill();
        encoder->waitForFinished(killDelayMs);
    }
    if (worker)
        worker->encoderGone();
    if (decodeThread)
        decodeThread->wait();
    cleanUp();
}

void EncoderRun::tearDown()
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
    outputTimer->stop();
    stallTimer->stop();
    stopWatch();
    releasePipeOpeners();
}

void EncoderRun::cleanUp()
{
    tearDown();
    recon.release();
    // Removes the pipe or the frame file with the folder, and the encoder's side files.
    privateFolder.remove();
    now = Stage::Ended;
}

// The run ends once both the decode and the encoder have ended (a run without either waits
// for the other only).
void EncoderRun::finishIfDone()
{
    if (now == Stage::Ready || now == Stage::Aborting || now == Stage::Ended || decodeThread || encoder)
        return;
    Outcome::Verdict &verdict = result.verdict;
    if (now == Stage::Rerouting && verdict.failure == JobResult::NoFailure) {
        startOver();
        return;
    }
    if (!endHint.isEmpty())
        emit message(endHint);
    Outcome::Pictures &pictures = result.pictures;
    pictures.given = handedOver >= 0 ? handedOver : picturesGiven;
    if (handedOver < 0)
        pictures.coded = pictures.given;
    pictures.fed = !rawByPath();
    QList<PictureRow> &rows = result.bitstream.rows;
    rows = lines.rows();
    // The overlap picture's row is the next stretch's.
    if (overlap())
        rows.erase(std::remove_if(rows.begin(), rows.end(),
                                  [&pictures](const PictureRow &row) { return row.index >= pictures.given; }),
                   rows.end());
    if (verdict.failure != JobResult::NoFailure) {
        verdict.kind = Outcome::Failed;
    } else if (now == Stage::Stopping) {
        verdict.kind = Outcome::Stopped;
    } else {
        verdict.kind = Outcome::Encoded;
        pictures.facts = outputFacts();
    }
    cleanUp();
    emit finished();
}

OutputFacts EncoderRun::outputFacts() const
{
    // A raw input is shown as it is, at the frame rate the user gave.
    if (isRaw())
        return JobOutput::rawFacts(settings);
    return JobOutput::factsFor(worker->streamInfo(), worker->width(), worker->height(), worker->fullRange(),
                                worker->chromaFormat());
}
