#include "decodeworker.h"

#include "framesink.h"

#include "bitstream/librarylog.h"
#include "decode/picturecount.h"
#include "jobtypes/encoderconfigfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <sys/stat.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
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

QString DecodeWorker::openFailure(const QString &path, int error)
{
    struct stat info;
    // An empty file is refused by each format in words of its own ("End of file", "Invalid
    // argument", "Invalid data found when processing input").
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        return QStringLiteral("the file is empty: it holds no video");
    if (error == AVERROR_STREAM_NOT_FOUND)
        return QStringLiteral("it holds no video stream (sound only, say)");
    if (error == AVERROR_EOF)
        return QStringLiteral("it ends before any video stream");
    return avErrorText(error);
}

int DecodeWorker::interrupted(void *opaque)
{
    return static_cast<DecodeWorker *>(opaque)->stopRequested ? 1 : 0;
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
            reason = openFailure(settings.input, ret < 0 ? ret : AVERROR_INVALIDDATA);
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

bool DecodeWorker::writeFrame(const FrameInfo &frame)
{
    const size_t size = static_cast<size_t>(frameByteSize(&frame));
    buffer.resize(size);
    packFrame(&frame, buffer.data());
    return writePicture(buffer.data(), size);
}

void DecodeWorker::recordPictureTime(const VideoDecoder *decoder)
{
    if (times.isEmpty())
        decoderTimeBase(decoder, &times.timeBaseNum, &times.timeBaseDen);
    int64_t duration = 0;
    times.times.append(decoderPictureTime(decoder, &duration));
    times.lastDuration = duration;
}

void DecodeWorker::decodeAll(VideoDecoder *decoder)
{
    FrameInfo frame = {};
    while (!stopRequested && (readLimit() < 0 || written < readLimit())) {
        const int decoded = decoderNextFrame(decoder, &frame);
        if (decoded < 0) {
            decodeError = decoded != AVERROR_EOF && decoded != AVERROR_EXIT;
            inputEnded = true;
            // The skip (and the pictures before the start that a filter reads) used up every
            // picture: the start is the input's end, or past it.
            if (decoded == AVERROR_EOF && pictures() == 0 && settings.startPicture > 0)
                startPastEnd(decoderNextPicture(decoder));
            return;
        }
        if (!sink && !openFrameSink(decoder, frame))
            return;
        if (sizeChanged(frame) || !writeFrame(frame))
            return;
        if (isOwn(written - 1))
            recordPictureTime(decoder);
        emit picturesWritten(written);
        if (!launchWhenDue())
            return;
    }
}

// At the first picture: the frame file, and for a pipe the encoder, which opens it.
bool DecodeWorker::openFrameSink(VideoDecoder *decoder, const FrameInfo &frame)
{
    fullRangePictures = decoderPictureIsFullRange(decoder);
    decoderPictureHdr(decoder, &info.hdr);
    return openSink(frame.width, frame.height, frame.width + frame.lumaPadWidth, frame.height + frame.lumaPadHeight,
                    frameByteSize(&frame));
}

// The frame file and the command line describe one picture size; pictures of another size
// would be read as garbage, so the input ends where its size changes.
bool DecodeWorker::sizeChanged(const FrameInfo &frame)
{
    if (frame.width == pictureWidth && frame.height == pictureHeight)
        return false;
    picturesLost(QStringLiteral("The picture size of %1 changes from %2x%3 to %4x%5 after "
                                "%6 pictures.\nOnly the pictures before the change are encoded.")
                     .arg(QDir::toNativeSeparators(settings.input), QString::number(pictureWidth),
                          QString::number(pictureHeight), QString::number(frame.width),
                          QString::number(frame.height), QString::number(written)));
    return true;
}

// An input that states no picture count has its packets counted where the caller wants the
// count: demuxing alone, without a decode. True when info.pictureCount is then the stream's own.
bool DecodeWorker::countInput()
{
    if (info.pictureCountDeclared)
        return true;
    if (!countWanted)
        return false;
    const PictureCount found = countPictures(QFile::encodeName(settings.input).constData(), nullptr, &stopRequested);
    if (found.error < 0 || found.pictures <= 0)
        return false;
    info.pictureCount = found.pictures;
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
    // Counted first: the order in which a call's arguments are evaluated is the compiler's.
    const bool counted = countInput();
    announceCount(info.pictureCount, info.pictureCountDeclared, counted);
    const int skipped = settings.previousPictureTime != std::numeric_limits<qint64>::min()
        ? decoderSkipToTime(decoder, firstRead(), settings.previousPictureTime)
        : decoderSkipTo(decoder, firstRead());
    if (skipped == AVERROR_EOF && settings.startPicture > 0)
        startPastEnd(decoderNextPicture(decoder));
    if (skipped >= 0)
        decodeAll(decoder);
    else
        inputEnded = true;
    // Only a decode that really failed says so: the normal end of the input is no error.
    if (decodeError)
        av_log(nullptr, AV_LOG_ERROR, "Error decoding video\n");
    decoderDestroy(&decoder);

    finishSink();
    if (written == 0 && !sink && failure() == JobResult::NoFailure && !stopRequested)
        setFailure(JobResult::InputUnusable,
                   QStringLiteral("No picture could be decoded from %1.")
                       .arg(QDir::toNativeSeparators(settings.input)));
}
