#ifndef ENCODERRUN_H
#define ENCODERRUN_H

#include "encoderadvice.h"
#include "encoderlines.h"
#include "filtercontext.h"
#include "privatefolder.h"

#include "bitstream/outputfacts.h"
#include "jobtypes/jobtypes.h"
#include "mux/picturetimes.h"
#include "output/outputguard.h"
#include "report/qualityreport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class PictureFeed;
class EncoderInputWatch;
class QThread;
class QTimer;

// One encoder over one stretch of the input: for a video input, decoding on a worker thread
// (seeking to the stretch's first picture) into a named pipe (a growing regular file where no
// pipe can be made) inside a private folder of its own, which the encoder, a child process,
// reads and encodes into the settings' output; for a raw input, the file itself goes to the
// encoder. An encoder that reads its input twice (the configuration turns on TemporalFilter,
// or it is seen opening the pipe again, when the run starts over) gets a regular file written
// whole before it starts. The encoder runs in the output's folder, or for a segment in the
// private folder, whose side files go with it. It neither knows nor cares whether other runs go
// on beside it: the whole input in one piece is one run, and so is every segment of a job cut
// into segments. What comes after the encoder (checks, join, rewrite) is its owner's business.
// Its parts: the private folder (PrivateFolder), the encoder's command line (EncoderCommand),
// what it tells of the configuration (EncoderAdvice) and the encoder's output on its way to
// the log and the report (EncoderLines).
class EncoderRun : public QObject
{
    Q_OBJECT

public:
    // How the run ended, read after finished().
    struct Outcome
    {
        enum Kind {
            Encoded,    // the encoder ran and exited: exitCode holds its code
            Stopped,    // stopped on request
            Failed      // the run could not go on: failure and message tell why
        };
        Kind kind = Failed;
        JobResult::Failure failure = JobResult::NoFailure;
        QString message;
        int exitCode = 0;
        bool crashed = false;           // ended by a signal, whose number exitCode holds
        qint64 pictures = 0;            // given to the encoder, the overlap picture not counted
        qint64 coded = 0;               // given to the encoder to code, the overlap picture counted
        bool reachedEnd = false;        // the input ended before the run's limit
        bool fed = false;               // this program handed the pictures over (not a raw input by path)
        qint64 inputPictures = -1;      // the input's pictures, where the run met its end early and could
                                        // tell them (a start past it, a raw file cut short); -1: not known
        double encoderCpuSeconds = 0;   // CPU time (user and system) of the encoder's processes
        bool encoderLeftEarly = false;  // the encoder went before it had every picture
        qint64 expected = 0;            // the pictures the run expected to hand over; 0: unknown
        qint64 declared = 0;            // what the input declares for the run's stretch; 0: unknown
        bool declaredExact = false;     // declared is the container's own count
        OutputFacts facts;              // what the output should show of the input
        PictureTimes times;             // when each picture handed over is shown, as the input said
        QList<PictureRow> rows;         // the encoder's picture lines, in display order
        OutputGuard::Stamp before;      // the output as it was just before the encoder started
    };

    // settings.output is the bitstream this run's encoder writes.
    explicit EncoderRun(const JobSettings &settings, QObject *parent = nullptr);
    // Ends a running run and waits for it: no encoder and no temporary file outlive it.
    ~EncoderRun() override;

    // Each line of the encoder's output is handed on with this in front (e.g. "[3/12] "), whole
    // lines only; without a prefix the output passes as it comes.
    void setLinePrefix(const QString &prefix) { lines.setPrefix(prefix.toLatin1()); }
    // One segment of a job in segments: the encoder runs in the run's private folder, where what
    // it writes besides its bitstream is discarded with the folder. Otherwise it runs in the
    // output's folder, so that a relative ReconFile lands beside the output.
    void setSegment(bool isSegment) { segment = isSegment; }
    // The pictures go through a complete file from the start: another run of the job saw the
    // encoder open its input twice.
    void setReadsInputTwice(bool twice) { fileFromStart = twice; }
    // The encoder also codes the picture after the run's stretch (the next stretch's first,
    // which a join keeps from this run and proves against the next run's copy). The run's
    // pictures, times and report rows are its own stretch's; Outcome::coded counts the picture.
    void setOverlap(bool withOverlap) { overlap = withOverlap; }
    void start();
    // Decoding stops, the encoder is terminated (killed after 2 s); finished() follows.
    void stop();
    // As stop(), but returns only once everything has ended, and finished() is not emitted.
    void abort();
    bool isRunning() const { return running; }
    const Outcome &outcome() const { return result; }
    // Pictures given to the encoder; through a complete file, the encoder's count of the
    // pictures it coded (its "POC" lines), 0 while the file is being written.
    qint64 pictures() const { return picturesGiven; }
    // Writing the complete file the encoder reads once it is whole: the pictures written.
    bool preparing() const { return preparingFile; }
    qint64 prepared() const { return preparedPictures; }

    // Removes the private folders that runs of processes no longer alive left in the temporary
    // folder (a job killed outright cannot remove its own): their frame file, then the folder.
    static void sweepAbandonedFolders() { PrivateFolder::sweepAbandoned(); }

signals:
    // Just before the encoder starts. A slot connected directly may show it modally: the
    // encoder starts once the slot returns.
    void commandLineReady(const QString &commandLine);
    void opened(qint64 expectedPictures, qint64 declaredPictures);
    void progressed(qint64 pictures);
    void encoderOutput(const QByteArray &bytes);
    void message(const QString &line);
    void warning(const QString &title, const QString &text);
    void finished();
    // The run went from writing its complete file to encoding.
    void stageChanged();
    // The encoder opened its input a second time: the run starts over through a complete file.
    void readsInputTwice();

private:
    bool isRaw() const;
    bool rawByPath() const;
    void startRaw();
    void startFeed();
    void onReadyForEncoder(const QString &path, int width, int height, bool pipe);
    QString encoderFolder() const;
    void hintAtSourceKeys();
    void watchInput();
    void stopWatch();
    void reroute(const QString &what);
    void startOver();
    void releasePipeOpeners();
    void tearDown();
    bool launchEncoder(const QString &encoderInput, int width, int height);
    QString configForEncoder();
    void readEncoderOutput();
    void takeEncoderOutput(const QByteArray &chunk);
    void handOn(const QByteArray &bytes);
    void onEncoderFinished(int exitCode, QProcess::ExitStatus status);
    void onDecodeFinished();
    void fail(JobResult::Failure failure, const QString &text);
    void stopWork();
    void finishIfDone();
    void cleanUp();
    OutputFacts outputFacts() const;

    const JobSettings settings;
    // The encoder's configuration, read once: what it asks of the input and of its side files.
    const EncoderAdvice advice;
    EncoderLines lines;             // the encoder's output on its way to the log and the report
    bool running = false;
    bool stopping = false;
    bool aborting = false;
    bool encoderEnded = false;
    bool decodeEnded = true;
    bool outputQueued = false;
    qint64 picturesGiven = 0;
    qint64 handedOver = -1;         // the decode's count of pictures written, once it ended
    bool segment = false;
    bool fileFromStart = false;
    bool overlap = false;
    FilterContext context;          // the pictures around the stretch its temporal filter reads
    bool completeFile = false;      // this attempt goes through a complete file
    bool preparingFile = false;
    qint64 preparedPictures = 0;
    bool rerouting = false;         // the encoder reopened the pipe: start over once all has ended
    bool stamped = false;           // result.before holds the output as it was before the first encoder
    QString framePath;              // what the encoder reads
    QElapsedTimer encoderClock;
    bool exitedAtOnce = false;      // the encoder failed within its first seconds
    Outcome result;

    PrivateFolder privateFolder;
    QProcess *encoder = nullptr;
    QTimer *killTimer = nullptr;
    QTimer *watchTimer = nullptr;
    std::unique_ptr<EncoderInputWatch> inputWatch;
    QThread *decodeThread = nullptr;
    PictureFeed *worker = nullptr;   // the pictures' way to the encoder; none for a raw input by path
};

#endif // ENCODERRUN_H
