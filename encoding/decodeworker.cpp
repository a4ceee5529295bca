#include "decodeworker.h"

#include "encoderconfigfile.h"
#include "framesink.h"

#include "bitstream/librarylog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

extern "C" {
#include <libavutil/error.h>
}

namespace {

QString avErrorText(int code)
{
    char text[256];
    if (av_strerror(code, text, sizeof text) < 0)
        std::snprintf(text, sizeof text, "error %d", code);
    return QString::fromLocal8Bit(text);
}

// Why a path cannot be a video input before the decoder tries it; empty when it may be one.
QString unusableInputReason(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a folder, not a video file");
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISSOCK(info.st_mode))
        return QStringLiteral("it is a device, not a video file");
    return QString();
}

} // namespace

DecodeWorker::DecodeWorker(const JobSettings &settings, const QString &privateDir)
    : settings(settings)
    , privateDir(privateDir)
{
}

DecodeWorker::~DecodeWorker()
{
    delete sink;
}

int DecodeWorker::interrupted(void *opaque)
{
    return static_cast<DecodeWorker *>(opaque)->stopRequested ? 1 : 0;
}

void DecodeWorker::requestStop()
{
    stopRequested = true;
    proceed(false);
}

void DecodeWorker::encoderGone()
{
    readerGone = true;
}

void DecodeWorker::proceed(bool encoderRunning)
{
    {
        std::lock_guard<std::mutex> lock(answerLock);
        if (answer == 0)
            answer = encoderRunning ? 1 : -1;
    }
    answered.notify_all();
}

void DecodeWorker::setCompleteFile(const QString &reason, bool segment)
{
    completeFileReason = reason;
    segmentRun = segment;
}

void DecodeWorker::setFailure(JobResult::Failure failure, const QString &text)
{
    if (failed != JobResult::NoFailure)
        return;
    failed = failure;
    failedText = text;
}

bool DecodeWorker::openInput(VideoDecoder *decoder)
{
    const QString shown = QDir::toNativeSeparators(settings.input);
    const QString firstLine = QStringLiteral("Please open an input file first.");
    if (settings.input.isEmpty()) {
        setFailure(JobResult::InputUnusable, firstLine);
        return false;
    }
    QString reason = unusableInputReason(settings.input);
    if (reason.isEmpty()) {
        const int ret = decoderOpen(decoder, QFile::encodeName(settings.input).constData());
        if (ret < 0 && stopRequested)
            return false;
        if (ret < 0 || !decoderIsOpen(decoder))
            reason = avErrorText(ret < 0 ? ret : AVERROR_INVALIDDATA);
    }
    if (!reason.isEmpty()) {
        setFailure(JobResult::InputUnusable, QStringLiteral("%1\n%2: %3.").arg(firstLine, shown, reason));
        return false;
    }
    decoderStreamInfo(decoder, &info);
    return true;
}

// The pictures are handed over as the configuration says the encoder reads them. A file that
// cannot be read gives the defaults: the encoder reports its own problem with it.
void DecodeWorker::choosePictureFormat(VideoDecoder *decoder)
{
    EncoderConfigFile config;
    config.read(settings.config);
    const int depth = config.intValue(QStringLiteral("InputBitDepth"), 8);
    const int chroma = config.intValue(QStringLiteral("InputChromaFormat"), 420);
    if (decoderSetOutputFormat(decoder, depth, chroma) == 0) {
        pictureDepth = depth;
        pictureChroma = chroma;
        return;
    }
    decoderForce420(decoder, true);
    emit message(QStringLiteral("The configuration %1 asks for pictures of InputBitDepth %2 and "
                                "InputChromaFormat %3, which cannot be made (8 to 16 bits; 400, 420, "
                                "422 or 444): they are handed over with 8 bits in 420.")
                     .arg(QDir::toNativeSeparators(settings.config), QString::number(depth),
                          QString::number(chroma)));
}

// Says once when the pictures lose bits on their way to the encoder.
void DecodeWorker::hintAtLostBits()
{
    if (info.bitDepth <= pictureDepth)
        return;
    QString text = QStringLiteral("The input has %1-bit pictures; the configuration asks for %2 bits")
                       .arg(info.bitDepth).arg(pictureDepth);
    if (pictureDepth < 10)
        text += info.bitDepth <= 10 ? QStringLiteral(" (hevczent10.cfg keeps all %1)").arg(info.bitDepth)
                                    : QStringLiteral(" (hevczent10.cfg keeps 10)");
    emit message(text + QLatin1Char('.'));
}

bool DecodeWorker::createSink(const FrameInfo &frame)
{
    pictureWidth = frame.width;
    pictureHeight = frame.height;
    paddedWidth = frame.width + frame.lumaPadWidth;
    paddedHeight = frame.height + frame.lumaPadHeight;
    sinkPath = privateDir + QStringLiteral("/mlxtmp_%1x%2.420").arg(paddedWidth).arg(paddedHeight);
    sink = new FrameSink(stopRequested, readerGone);
    if (!completeFileReason.isEmpty())
        return createCompleteFile(frame);

    const bool pipeWanted = qEnvironmentVariable("MORLUNEX_FRAME_TRANSPORT") != QLatin1String("file");
    if (pipeWanted && sink->createPipe(sinkPath))
        return true;
    if (pipeWanted)
        emit message(QStringLiteral("No named pipe can be made in %1 (%2): the pictures go to the "
                                    "encoder through a growing file there instead.")
                         .arg(QDir::toNativeSeparators(privateDir), sink->errorText()));
    if (sink->createFile(sinkPath))
        return true;
    setFailure(JobResult::TemporaryUnusable,
               QStringLiteral("Cannot create the frame file %1:\n%2.")
                   .arg(QDir::toNativeSeparators(sinkPath), sink->errorText()));
    return false;
}

// The whole run's pictures go into the file before the encoder starts, so it must fit in the
// temporary folder; where the count is not known in advance, a full disk ends the decode with
// the usual message instead.
bool DecodeWorker::createCompleteFile(const FrameInfo &frame)
{
    const qint64 pictureBytes = frameByteSize(&frame);
    const qint64 needed = expectedPictures > 0 ? pictureBytes * expectedPictures : 0;
    const QString folder = QDir::toNativeSeparators(QFileInfo(privateDir).absolutePath());
    if (sink->createCompleteFile(sinkPath, needed)) {
        const QString file = needed > 0
            ? QStringLiteral("a %1 file").arg(FrameSink::sizeText(needed))
            : QStringLiteral("a file of %1 a picture").arg(FrameSink::sizeText(pictureBytes));
        emit message(QStringLiteral("%1: the pictures go through %2 in %3 instead of a pipe.")
                         .arg(completeFileReason, file, folder));
        return true;
    }
    if (sink->errorNumber() != ENOSPC) {
        setFailure(JobResult::TemporaryUnusable,
                   QStringLiteral("Cannot create the frame file %1:\n%2.")
                       .arg(QDir::toNativeSeparators(sinkPath), sink->errorText()));
        return false;
    }
    const QString advice = segmentRun
        ? QStringLiteral("Choose shorter segments (--segment-length) or fewer encoders at once, or set TMPDIR "
                         "to a folder with more room.")
        : QStringLiteral("Cut the job into segments (several encoders at once in the window, -j and "
                         "--segment-length with morlunex-cli): then a file holds one segment at a time. Or set "
                         "TMPDIR to a folder with more room.");
    setFailure(JobResult::TemporaryUnusable,
               QStringLiteral("Not enough room in the temporary folder %1.\n%2: the %3 pictures%4 must go through "
                              "a file of %5 before the encoder starts, and only %6 is free there.\n%7")
                   .arg(folder, completeFileReason, QString::number(expectedPictures),
                        segmentRun ? QStringLiteral(" of this segment") : QString(), FrameSink::sizeText(needed),
                        FrameSink::sizeText(sink->freeBytes()), advice));
    return false;
}

bool DecodeWorker::launchEncoder()
{
    launched = true;
    emit readyForEncoder(sinkPath, paddedWidth, paddedHeight, sink->isPipe());
    std::unique_lock<std::mutex> lock(answerLock);
    answered.wait(lock, [this] { return answer != 0; });
    return answer > 0;
}

bool DecodeWorker::writePicture(const FrameInfo &frame)
{
    const size_t size = static_cast<size_t>(frameByteSize(&frame));
    buffer.resize(size);
    packFrame(&frame, buffer.data());
    switch (sink->write(buffer.data(), size)) {
    case FrameSink::Written:
        ++written;
        return true;
    case FrameSink::ReaderGone:
        readerLeft = true;
        return false;
    case FrameSink::Stopped:
        return false;
    case FrameSink::Failed:
        break;
    }
    const QString text = QStringLiteral("Cannot write the decoded pictures to %1:\n%2.\n"
                                        "Decoding stopped after %3 pictures.")
                             .arg(QDir::toNativeSeparators(sinkPath), sink->errorText(),
                                  QString::number(written));
    // Once the encoder runs it encodes what reached it; before, there is nothing to encode.
    if (launched)
        emit warning(QStringLiteral("Encoding error"), text);
    else
        setFailure(JobResult::FramesNotWritten, text);
    return false;
}

void DecodeWorker::recordPictureTime(const VideoDecoder *decoder)
{
    if (times.isEmpty())
        decoderTimeBase(decoder, &times.timeBaseNum, &times.timeBaseDen);
    int64_t duration = 0;
    times.times.append(decoderPictureTime(decoder, &duration));
    times.lastDuration = duration;
}

void DecodeWorker::startPastEnd(qint64 inputPictureCount)
{
    inputPictures = inputPictureCount;
    setFailure(JobResult::StartPastEnd,
               QStringLiteral("The input %1 has %2 pictures; --start %3 is past its end.")
                   .arg(QDir::toNativeSeparators(settings.input), QString::number(inputPictures),
                        QString::number(settings.startPicture)));
}

// What the input declares from the start picture on, and so what the job expects.
void DecodeWorker::announceCount()
{
    qint64 declared = info.pictureCount > 0 ? qMax<qint64>(0, info.pictureCount - settings.startPicture) : 0;
    if (settings.pictureLimit >= 0 && declared > settings.pictureLimit)
        declared = settings.pictureLimit;
    const qint64 expected = declared == 0 && settings.pictureLimit >= 0 ? settings.pictureLimit : declared;
    expectedPictures = expected;
    emit opened(expected, declared);
}

void DecodeWorker::decodeAll(VideoDecoder *decoder)
{
    FrameInfo frame = {};
    // Pipe: the encoder starts before the first write. Growing file: after the sixth picture
    // (or at the end of a shorter input), as it always has. Complete file: at the end.
    const qint64 launchAfter = completeFileReason.isEmpty() ? 6 : -1;
    while (!stopRequested && (settings.pictureLimit < 0 || written < settings.pictureLimit)) {
        const int decoded = decoderNextFrame(decoder, &frame);
        if (decoded < 0) {
            decodeError = decoded != AVERROR_EOF && decoded != AVERROR_EXIT;
            inputEnded = true;
            // The skip used up every picture: the start is the input's end, or past it.
            if (decoded == AVERROR_EOF && written == 0 && settings.startPicture > 0 && !sink)
                startPastEnd(decoderNextPicture(decoder));
            return;
        }
        if (!sink && !openSink(decoder, frame))
            return;
        if (sizeChanged(frame) || !writePicture(frame))
            return;
        recordPictureTime(decoder);
        emit picturesWritten(written);
        if (!sink->isPipe() && written == launchAfter && !launched && !launchEncoder())
            return;
    }
}

// At the first picture: the frame file, and for a pipe the encoder, which opens it.
bool DecodeWorker::openSink(VideoDecoder *decoder, const FrameInfo &frame)
{
    fullRangePictures = decoderPictureIsFullRange(decoder);
    decoderPictureHdr(decoder, &info.hdr);
    if (!createSink(frame) || (sink->isPipe() && !launchEncoder()))
        return false;
    if (sink->isPipe() && sink->openPipe() != FrameSink::Written) {
        readerLeft = readerGone;
        return false;
    }
    pipeOpened = sink->isPipe();
    return true;
}

// The frame file and the command line describe one picture size; pictures of another size
// would be read as garbage, so the input ends where its size changes.
bool DecodeWorker::sizeChanged(const FrameInfo &frame)
{
    if (frame.width == pictureWidth && frame.height == pictureHeight)
        return false;
    emit warning(QStringLiteral("Encoding error"),
                 QStringLiteral("The picture size of %1 changes from %2x%3 to %4x%5 after "
                                "%6 pictures.\nOnly the pictures before the change are encoded.")
                     .arg(QDir::toNativeSeparators(settings.input), QString::number(pictureWidth),
                          QString::number(pictureHeight), QString::number(frame.width),
                          QString::number(frame.height), QString::number(written)));
    return true;
}

void DecodeWorker::run()
{
    // What the libraries say of the input goes into the job's log, each line once.
    const LibraryLog::Scope libraryLines([this](const QString &line) { emit message(line); });
    VideoDecoder *decoder = decoderCreate();
    if (!decoder) {
        setFailure(JobResult::InputUnusable, QStringLiteral("Out of memory."));
        return;
    }
    choosePictureFormat(decoder);
    decoderSetInterrupt(decoder, &DecodeWorker::interrupted, this);
    if (!openInput(decoder)) {
        decoderDestroy(&decoder);
        return;
    }
    hintAtLostBits();
    announceCount();
    const int skipped = decoderSkipTo(decoder, settings.startPicture);
    if (skipped == AVERROR_EOF && settings.startPicture > 0)
        startPastEnd(decoderNextPicture(decoder));
    if (skipped >= 0)
        decodeAll(decoder);
    else
        inputEnded = true;
    // Only a decode that really failed says so: the normal end of the input is no error.
    if (decodeError)
        std::fputs("Error decoding video\n", stderr);
    decoderDestroy(&decoder);

    if (sink && !sink->isPipe() && !launched && written > 0 && failed == JobResult::NoFailure
        && !stopRequested) {
        // A complete file is closed first: the encoder finds it whole, with no writer left.
        if (!completeFileReason.isEmpty())
            sink->close();
        launchEncoder();
    }
    if (sink)
        sink->close();
    if (written == 0 && !sink && failed == JobResult::NoFailure && !stopRequested)
        setFailure(JobResult::InputUnusable,
                   QStringLiteral("No picture could be decoded from %1.")
                       .arg(QDir::toNativeSeparators(settings.input)));
}
