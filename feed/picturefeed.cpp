#include "picturefeed.h"

#include "framesink.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

PictureFeed::PictureFeed(const JobSettings &settings, const QString &privateDir)
    : settings(settings)
    , privateDir(privateDir)
{
}

PictureFeed::~PictureFeed()
{
    delete sink;
}

void PictureFeed::requestStop()
{
    stopRequested = true;
    proceed(false);
}

void PictureFeed::encoderGone()
{
    readerGone = true;
}

void PictureFeed::proceed(bool encoderRunning)
{
    {
        std::lock_guard<std::mutex> lock(answerLock);
        if (answer == 0)
            answer = encoderRunning ? 1 : -1;
    }
    answered.notify_all();
}

void PictureFeed::setCompleteFile(const QString &reason, bool segment)
{
    completeFileReason = reason;
    segmentRun = segment;
}

void PictureFeed::setContext(qint64 before, qint64 after, bool overlap)
{
    contextBefore = qMax<qint64>(0, before);
    contextAfter = qMax<qint64>(0, after);
    overlapPicture = overlap ? 1 : 0;
}

qint64 PictureFeed::readLimit() const
{
    return settings.pictureLimit < 0 ? -1 : contextBefore + settings.pictureLimit + overlapPicture + contextAfter;
}

bool PictureFeed::isOwn(qint64 n) const
{
    return n >= contextBefore && (settings.pictureLimit < 0 || n < contextBefore + settings.pictureLimit);
}

qint64 PictureFeed::pictures() const
{
    const qint64 own = qMax<qint64>(0, written - contextBefore);
    return settings.pictureLimit < 0 ? own : qMin(own, settings.pictureLimit);
}

qint64 PictureFeed::codedPictures() const
{
    const qint64 coded = qMax<qint64>(0, written - contextBefore);
    return settings.pictureLimit < 0 ? coded : qMin(coded, settings.pictureLimit + overlapPicture);
}

void PictureFeed::setFailure(JobResult::Failure failure, const QString &text)
{
    if (failed != JobResult::NoFailure)
        return;
    failed = failure;
    failedText = text;
}

void PictureFeed::picturesLost(const QString &text)
{
    if (missing.isEmpty())
        missing = text;
    emit warning(QStringLiteral("Encoding error"), text);
}

void PictureFeed::announceCount(qint64 inputPictures, bool stated, bool exact)
{
    qint64 counted = inputPictures > 0 ? qMax<qint64>(0, inputPictures - settings.startPicture) : 0;
    if (settings.pictureLimit >= 0 && counted > settings.pictureLimit)
        counted = settings.pictureLimit;
    const qint64 expected = counted == 0 && settings.pictureLimit >= 0 ? settings.pictureLimit : counted;
    // The frame file also holds the pictures around the run's own that a temporal filter reads.
    qint64 after = overlapPicture + contextAfter;
    if (inputPictures > 0 && settings.pictureLimit >= 0)
        after = qBound<qint64>(0, inputPictures - settings.startPicture - settings.pictureLimit, after);
    expectedPictures = expected + contextBefore + (settings.pictureLimit >= 0 ? after : 0);
    expectedExact = exact && expectedPictures > 0;
    // A count worked out from a duration is what the job expects, not what the input declares.
    emit opened(expected, stated ? counted : 0);
}

void PictureFeed::startPastEnd(qint64 inputPictureCount)
{
    inputPictures = inputPictureCount;
    setFailure(JobResult::StartPastEnd,
               QStringLiteral("The input %1 has %2 pictures; --start %3 is past its end.")
                   .arg(QDir::toNativeSeparators(settings.input), QString::number(inputPictures),
                        QString::number(settings.startPicture)));
}

bool PictureFeed::openSink(int width, int height, int padWidth, int padHeight, qint64 pictureBytes)
{
    pictureWidth = width;
    pictureHeight = height;
    paddedWidth = padWidth;
    paddedHeight = padHeight;
    if (!createSink(pictureBytes) || (sink->isPipe() && !launchEncoder()))
        return false;
    if (sink->isPipe() && sink->openPipe() != FrameSink::Written) {
        readerLeft = readerGone;
        return false;
    }
    pipeOpened = sink->isPipe();
    return true;
}

bool PictureFeed::createSink(qint64 pictureBytes)
{
    sinkPath = privateDir + QStringLiteral("/mlxtmp_%1x%2.420").arg(paddedWidth).arg(paddedHeight);
    sink = new FrameSink(stopRequested, readerGone);
    if (!completeFileReason.isEmpty())
        return createCompleteFile(pictureBytes);

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
// temporary folder; where the count is not known in advance, a full disk ends the feed with
// the usual message instead.
bool PictureFeed::createCompleteFile(qint64 pictureBytes)
{
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

// What the frame file will hold once the feed ends, where that is known before the encoder starts.
qint64 PictureFeed::handing() const
{
    if (!completeFileReason.isEmpty())
        return written;
    return expectedExact ? expectedPictures : -1;
}

bool PictureFeed::launchEncoder()
{
    launched = true;
    emit readyForEncoder(sinkPath, paddedWidth, paddedHeight, sink->isPipe(), handing());
    std::unique_lock<std::mutex> lock(answerLock);
    answered.wait(lock, [this] { return answer != 0; });
    return answer > 0;
}

bool PictureFeed::writePicture(const uint8_t *data, size_t size)
{
    switch (sink->write(data, size)) {
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
        picturesLost(text);
    else
        setFailure(JobResult::FramesNotWritten, text);
    return false;
}

// Pipe: the encoder started before the first write. Growing file: after the sixth picture (or
// at the end of a shorter input), as it always has. Complete file: at the end.
bool PictureFeed::launchWhenDue()
{
    if (!completeFileReason.isEmpty() || sink->isPipe() || written != 6 || launched)
        return true;
    return launchEncoder();
}

void PictureFeed::finishSink()
{
    if (sink && !sink->isPipe() && !launched && written > 0 && failed == JobResult::NoFailure
        && !stopRequested) {
        // A complete file is closed first: the encoder finds it whole, with no writer left.
        if (!completeFileReason.isEmpty())
            sink->close();
        launchEncoder();
    }
    if (sink)
        sink->close();
}
