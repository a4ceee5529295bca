#ifndef PICTUREFEED_H
#define PICTUREFEED_H

#include "decode/videodecoder.h"
#include "jobtypes/jobtypes.h"
#include "mux/picturetimes.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

class FrameSink;

// What hands one run's pictures to its encoder, on a worker thread: the frame file in the run's
// private folder (a named pipe, a growing file where none can be made, or a complete file for an
// encoder that reads its input twice), the wait for the encoder's start, the writes and how they
// end. Where the pictures come from is the subclass's business: a decode of a video input
// (DecodeWorker) or the bytes of a raw input (RawFeed). Reports through queued signals carrying
// plain values; what it found out is read by the run once the thread has ended.
class PictureFeed : public QObject
{
    Q_OBJECT

public:
    PictureFeed(const JobSettings &settings, const QString &privateDir);
    ~PictureFeed() override;

    // The thread's body.
    virtual void run() = 0;
    // Any thread.
    void requestStop();
    void encoderGone();
    // Answers readyForEncoder: true once the encoder runs, false when it will not.
    void proceed(bool encoderRunning);
    // Before run(): the pictures go through a regular file written whole before the encoder
    // starts, for an encoder that reads its input twice; reason begins the log line that says
    // why. segment: the run is one segment of a job, for the advice when the file does not fit.
    void setCompleteFile(const QString &reason, bool segment);
    // Before run(): the pictures also handed over around the run's own. overlap: the picture
    // after its last is coded too (the next stretch's first, which a later join keeps from this
    // run); for an encoder's temporal filter, up to `before` before its first picture (the
    // encoder skips them) and up to `after` after its last coded one (it reads them, but codes
    // none), as far as the input has them.
    void setContext(qint64 before, qint64 after, bool overlap);
    // Before run(): a video input whose container states no picture count has its packets
    // counted before the first picture is handed over, so that the encoder can be told how many
    // pictures it gets.
    void setCountWanted(bool wanted) { countWanted = wanted; }
    // Any thread: the job's end of the pipe is open, so the encoder's first open is done.
    bool pipeOpen() const { return pipeOpened; }

    // Read after the thread has ended. The run's own pictures handed over, those around them
    // for a temporal filter not counted.
    qint64 pictures() const;
    // The pictures handed over for the encoder to code: the run's own and the overlap picture.
    qint64 codedPictures() const;
    bool reachedEnd() const { return inputEnded; }
    bool encoderLeftEarly() const { return readerLeft; }
    JobResult::Failure failure() const { return failed; }
    const QString &failureText() const { return failedText; }
    // Why not every picture meant for the encoder reached it (the frame file took no more once
    // the encoder ran, the picture size changed), in the words of the warning that said so; empty
    // when every one did.
    const QString &picturesMissing() const { return missing; }
    const StreamInfo &streamInfo() const { return info; }
    int width() const { return pictureWidth; }
    int height() const { return pictureHeight; }
    bool fullRange() const { return fullRangePictures; }
    int chromaFormat() const { return pictureChroma; }
    // The input's pictures, where the feed met its end early and could tell them (a start past
    // its end, a raw file cut short while it was read); -1 when not known.
    qint64 picturesInInput() const { return inputPictures; }
    // When each of the run's own pictures handed over is shown, as the input said.
    const PictureTimes &pictureTimes() const { return times; }

signals:
    // expectedPictures: the pictures the run will hand over, as far as known; declaredPictures:
    // what the input declares from the start picture on (0: unknown).
    void opened(qint64 expectedPictures, qint64 declaredPictures);
    // pipe: the path is a named pipe, else a regular file. handing: the pictures the frame file
    // will hold in all, where the feed knows them exactly (a complete file, a raw input, a
    // counted input or a stretch of one); -1 where it does not.
    void readyForEncoder(const QString &path, int paddedWidth, int paddedHeight, bool pipe, qint64 handing);
    void picturesWritten(qint64 pictures);
    void message(const QString &line);
    void warning(const QString &title, const QString &text);

protected:
    // The input's pictures as far as known, and whether the video stream states that count
    // itself: what the run expects, and what the input declares, from the start picture on.
    // exact: the count is the stream's own (stated, or its packets counted), not an estimate.
    void announceCount(qint64 inputPictures, bool stated, bool exact);
    // The frame file for pictures of this size (padded as handed over) and byte count, and
    // for a pipe the encoder, which opens it.
    bool openSink(int width, int height, int paddedWidth, int paddedHeight, qint64 pictureBytes);
    bool writePicture(const uint8_t *data, size_t size);
    // A growing file's encoder starts after its sixth picture; false when it did not start.
    bool launchWhenDue();
    // At the input's end: an encoder that reads a regular file starts now, once it is whole.
    void finishSink();
    void startPastEnd(qint64 inputPictureCount);
    // The input turned out to hold this many pictures, fewer than the run expected.
    void foundInputPictures(qint64 count) { inputPictures = count; }
    // The first picture read: the run's first, or the first of those before it for a filter.
    qint64 firstRead() const { return settings.startPicture - contextBefore; }
    // How many pictures are read at most from firstRead() on; -1: to the input's end.
    qint64 readLimit() const;
    // Whether the picture handed over as the n-th (from 0) is one of the run's own.
    bool isOwn(qint64 n) const;
    void setFailure(JobResult::Failure failure, const QString &text);
    // Pictures meant for the encoder will not reach it (text says why): the user is warned, and
    // the first such text is kept for the run's outcome.
    void picturesLost(const QString &text);

    const JobSettings settings;
    const QString privateDir;
    std::atomic_bool stopRequested{false};
    std::atomic_bool readerGone{false};
    qint64 expectedPictures = 0;
    bool countWanted = false;
    FrameSink *sink = nullptr;
    qint64 written = 0;
    bool inputEnded = false;
    StreamInfo info = {};
    int pictureWidth = 0;
    int pictureHeight = 0;
    bool fullRangePictures = false;
    int pictureDepth = 8;
    int pictureChroma = 420;
    PictureTimes times;

private:
    bool createSink(qint64 pictureBytes);
    bool createCompleteFile(qint64 pictureBytes);
    bool launchEncoder();
    qint64 handing() const;

    std::atomic_bool pipeOpened{false};
    QString completeFileReason;     // empty: a pipe (or a growing file where none can be made)
    qint64 contextBefore = 0;
    qint64 contextAfter = 0;
    qint64 overlapPicture = 0;      // 1: the picture after the run's own is coded too
    bool segmentRun = false;
    std::mutex answerLock;
    std::condition_variable answered;
    int answer = 0;  // 0 none yet, 1 running, -1 not running
    QString sinkPath;
    int paddedWidth = 0;
    int paddedHeight = 0;
    bool launched = false;
    bool readerLeft = false;
    JobResult::Failure failed = JobResult::NoFailure;
    QString failedText;
    QString missing;
    qint64 inputPictures = -1;
    bool expectedExact = false;     // expectedPictures is what the frame file will hold
};

#endif // PICTUREFEED_H
