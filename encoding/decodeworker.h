#ifndef DECODEWORKER_H
#define DECODEWORKER_H

#include "decode/videodecoder.h"
#include "encoding/jobtypes.h"
#include "mux/picturetimes.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>

class FrameSink;

// The decode half of a transcode, run on a worker thread: opens the input, decodes it into
// pictures of the bit depth and chroma format the encoder's configuration asks for (8-bit
// 4:2:0 when it says nothing), padded to multiples of 16, and writes them to the frame sink
// in the job's private folder. When the encoder is to start it asks the job
// (readyForEncoder) and waits for the answer. Reports through queued signals carrying plain values; what it found
// out is read by the job once the thread has ended.
class DecodeWorker : public QObject
{
    Q_OBJECT

public:
    DecodeWorker(const JobSettings &settings, const QString &privateDir);
    ~DecodeWorker() override;

    // The thread's body.
    void run();
    // Any thread.
    void requestStop();
    void encoderGone();
    // Answers readyForEncoder: true once the encoder runs, false when it will not.
    void proceed(bool encoderRunning);
    // Before run(): the pictures go through a regular file written whole before the encoder
    // starts, for an encoder that reads its input twice; reason begins the log line that says
    // why. segment: the run is one segment of a job, for the advice when the file does not fit.
    void setCompleteFile(const QString &reason, bool segment);
    // Any thread: the job's end of the pipe is open, so the encoder's first open is done.
    bool pipeOpen() const { return pipeOpened; }

    // Read after the thread has ended.
    qint64 pictures() const { return written; }
    bool reachedEnd() const { return inputEnded; }
    bool encoderLeftEarly() const { return readerLeft; }
    JobResult::Failure failure() const { return failed; }
    const QString &failureText() const { return failedText; }
    const StreamInfo &streamInfo() const { return info; }
    int width() const { return pictureWidth; }
    int height() const { return pictureHeight; }
    bool fullRange() const { return fullRangePictures; }
    // The input's pictures counted while looking for the start picture past its end.
    qint64 picturesInInput() const { return inputPictures; }
    int chromaFormat() const { return pictureChroma; }
    // When each picture handed over is shown, as the input said.
    const PictureTimes &pictureTimes() const { return times; }

signals:
    // expectedPictures: the pictures the job will hand over, as far as known; declaredPictures:
    // what the input declares from the start picture on (0: unknown).
    void opened(qint64 expectedPictures, qint64 declaredPictures);
    // pipe: the path is a named pipe, else a regular file.
    void readyForEncoder(const QString &path, int paddedWidth, int paddedHeight, bool pipe);
    void picturesWritten(qint64 pictures);
    void message(const QString &line);
    void warning(const QString &title, const QString &text);

private:
    static int interrupted(void *opaque);
    bool openInput(VideoDecoder *decoder);
    void choosePictureFormat(VideoDecoder *decoder);
    void hintAtLostBits();
    bool createSink(const FrameInfo &frame);
    bool createCompleteFile(const FrameInfo &frame);
    bool launchEncoder();
    bool writePicture(const FrameInfo &frame);
    void recordPictureTime(const VideoDecoder *decoder);
    void setFailure(JobResult::Failure failure, const QString &text);
    void startPastEnd(qint64 inputPictureCount);
    void announceCount();
    void decodeAll(VideoDecoder *decoder);
    bool openSink(VideoDecoder *decoder, const FrameInfo &frame);
    bool sizeChanged(const FrameInfo &frame);

    const JobSettings settings;
    const QString privateDir;
    std::atomic_bool stopRequested{false};
    std::atomic_bool readerGone{false};
    std::atomic_bool pipeOpened{false};
    QString completeFileReason;     // empty: a pipe (or a growing file where none can be made)
    bool segmentRun = false;
    qint64 expectedPictures = 0;
    std::mutex answerLock;
    std::condition_variable answered;
    int answer = 0;  // 0 none yet, 1 running, -1 not running

    FrameSink *sink = nullptr;
    QString sinkPath;
    bool launched = false;
    std::vector<uint8_t> buffer;
    qint64 written = 0;
    bool inputEnded = false;
    bool readerLeft = false;
    JobResult::Failure failed = JobResult::NoFailure;
    QString failedText;
    StreamInfo info = {};
    int pictureWidth = 0;
    int pictureHeight = 0;
    int paddedWidth = 0;
    int paddedHeight = 0;
    bool fullRangePictures = false;
    qint64 inputPictures = 0;
    bool decodeError = false;
    int pictureDepth = 8;
    int pictureChroma = 420;
    PictureTimes times;
};

#endif // DECODEWORKER_H
