#ifndef TRANSCODEJOB_H
#define TRANSCODEJOB_H

#include "report/encoderlinereader.h"
#include "report/qualityreport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class DecodeWorker;
struct OutputFacts;
class QTemporaryDir;
class QThread;
class QTimer;

// What one transcode is asked to do. Paths are taken relative to the current directory.
struct JobSettings
{
    QString input;           // on the raw route handed to the encoder exactly as given
    QString config;
    QString encoder;
    QString output;
    int rawWidth = 0;        // both non-zero: the raw route, the input goes to the encoder as is
    int rawHeight = 0;
    int rawFps = 0;          // frame rate of a raw input; 0 when not known
    qint64 startPicture = 0; // the first picture handed over (0: the input's first)
    qint64 pictureLimit = -1; // at most this many pictures; -1: to the end of the input
    int qp = -1;             // handed to the encoder as -q after its other arguments; -1: none
};

// How far the job has come; only plain values, so that it may cross threads.
struct JobProgress
{
    qint64 pictures = 0;           // given to the encoder so far
    qint64 total = 0;              // expected in all; 0 while unknown
    double picturesPerSecond = 0;
    double secondsLeft = -1;       // -1 while unknown
    double elapsedSeconds = 0;
};

// How a job ended.
struct JobResult
{
    enum Outcome {
        Finished,             // the encoder ran and exited: exitCode holds its code
        Stopped,              // stopped on request
        Failed                // the job could not run: failure and message tell why
    };
    enum Failure {
        NoFailure,
        InputUnusable,        // missing, not a video, a folder or a device, no picture in it
        EncoderDidNotStart,
        OutputUnusable,       // the output is the input, the configuration or the encoder
        TemporaryUnusable,    // the temporary folder or the frame file cannot be used
        FramesNotWritten      // the frame file could not take the pictures (disk full)
    };

    Outcome outcome = Failed;
    Failure failure = NoFailure;
    int exitCode = 0;
    bool encoderCrashed = false; // the encoder was ended by a signal, whose number exitCode holds
    qint64 pictures = 0;      // pictures given to the encoder
    QString message;          // for a failure: what the user is told (file and reason)
    // Once the encoder ran: the pictures it reported, with the summary of the output.
    QualityReport report;
};

Q_DECLARE_METATYPE(JobProgress)
Q_DECLARE_METATYPE(JobResult)

// One transcode from start to end, without widgets: for a video input, decoding on a worker
// thread into a named pipe (a growing regular file where no pipe can be made) inside a
// private folder of the job, which the encoder, a child process, reads; for a raw input, the
// file itself goes to the encoder. After a successful encode the output's parameter sets are
// rewritten to show what the input showed. The owner talks to the job through its signals and
// stop(); the job lives on the owner's thread, which must run an event loop.
class TranscodeJob : public QObject
{
    Q_OBJECT

public:
    explicit TranscodeJob(QObject *parent = nullptr);
    // Stops a running job and waits for it: no encoder and no temporary file outlive it.
    ~TranscodeJob() override;

    // Starts the job; every start ends in exactly one finished(), a failure to start included.
    void start(const JobSettings &settings);
    // Asks a running job to stop: decoding stops, the encoder is terminated (killed after
    // 2 s) and finished() follows with Stopped. The output keeps what the encoder wrote.
    void stop();
    // Stops as stop() does and returns only when the job has ended, without emitting finished().
    void abort();
    bool isRunning() const { return running; }

    // The command line in its display form, each path in double quotes.
    static QString displayCommandLine(const QString &encoder, const QString &config,
                                      const QString &input, const QString &output, int width,
                                      int height);
    // The encoder's arguments for a job, and the whole command line in its display form.
    struct EncoderCommand { QStringList arguments; QString display; };
    static EncoderCommand encoderCommand(const JobSettings &settings, const QString &encoderInput,
                                         int width, int height);

signals:
    // The encoder's command line, just before the encoder starts. A slot connected directly
    // may show it modally: the encoder starts once the slot returns.
    void commandLineReady(const QString &commandLine);
    void progressChanged(const JobProgress &progress);
    // Bytes the encoder wrote to its standard output, in chunks of bounded size.
    void encoderOutput(const QByteArray &bytes);
    // A line for the log: the transport, an early end of the encoder, a stop, the rewrite.
    void message(const QString &line);
    // Something the user should see at once (a picture size change, a full disk).
    void warning(const QString &title, const QString &text);
    void finished(const JobResult &result);

private:
    bool checkOutputPath();
    void startRaw();
    void startDecoding();
    void onReadyForEncoder(const QString &path, int width, int height);
    bool launchEncoder(const QString &encoderInput, int width, int height);
    void readEncoderOutput();
    void countEncodedPictures(const QByteArray &chunk);
    void readPictureLines(const QByteArray &chunk);
    void prepareReport();
    void completeReport(JobResult *result);
    void onEncoderFinished(int exitCode, QProcess::ExitStatus status);
    void onDecodeFinished();
    void reportProgress(bool force);
    void fail(JobResult::Failure failure, const QString &text);
    void stopWork();
    void finishIfDone();
    void cleanUp();
    OutputFacts outputFacts() const;

    JobSettings settings;
    bool running = false;
    bool stopping = false;
    bool aborting = false;
    bool encoderEnded = false;
    bool encoderCrashed = false;
    bool decodeEnded = true;
    bool outputQueued = false;
    bool atLineStart = true;        // the encoder's output so far ends with a whole line
    int encoderExitCode = 0;
    qint64 picturesGiven = 0;
    qint64 expectedPictures = 0;
    JobResult pending;              // the first failure, if any
    QElapsedTimer clock;
    qint64 lastProgressMs = -1;
    EncoderLineReader pictureLines;  // the encoder's picture lines, for the report
    double reportFrameRate = 0;
    double encodingSeconds = 0;

    std::unique_ptr<QTemporaryDir> privateDir;
    QProcess *encoder = nullptr;
    QTimer *killTimer = nullptr;
    QThread *decodeThread = nullptr;
    DecodeWorker *worker = nullptr;
    QThread *rewriteThread = nullptr;
};

#endif // TRANSCODEJOB_H
