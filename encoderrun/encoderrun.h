#ifndef ENCODERRUN_H
#define ENCODERRUN_H

#include "encoderadvice.h"
#include "encoderlines.h"
#include "filtercontext.h"
#include "privatefolder.h"
#include "stallwatch.h"

#include "bitstream/outputfacts.h"
#include "jobtypes/jobtypes.h"
#include "mux/picturetimes.h"
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
// whole before it starts. The encoder runs in the private folder, whose side files go with it
// (a relative ReconFile among them, ReconPlace). It neither knows nor cares whether other runs go
// on beside it: the whole input in one piece is one run, and so is every segment of a job cut
// into segments. What comes after the encoder (checks, join, rewrite) is its owner's business.
// Its parts: the private folder (PrivateFolder), the encoder's command line (EncoderCommand),
// what it tells of the configuration (EncoderAdvice), where the reconstruction goes
// (ReconPlace) and the encoder's output on its way to the log and the report (EncoderLines).
class EncoderRun : public QObject
{
    Q_OBJECT

public:
    // What the run knows once it has ended, read after finished(): how it ended, its pictures and
    // its bitstream. What became of the output file is its owner's business.
    struct Outcome
    {
        enum Kind {
            Encoded,    // the encoder ran and exited: exitCode holds its code
            Stopped,    // stopped on request
            Failed      // the run could not go on: failure and message tell why
        };
        // How it ended.
        struct Verdict
        {
            Kind kind = Failed;
            JobResult::Failure failure = JobResult::NoFailure;
            QString message;
            int exitCode = 0;
            bool crashed = false;       // ended by a signal, whose number exitCode holds
            // Why not every picture meant for the encoder reached it, in the words the user was
            // warned with; empty when every one did.
            QString picturesMissing;
        };
        // The input's pictures, and those handed to the encoder.
        struct Pictures
        {
            qint64 given = 0;           // given to the encoder, the overlap picture not counted
            qint64 coded = 0;           // given to the encoder to code, the overlap picture counted
            bool reachedEnd = false;    // the input ended before the run's limit
            bool fed = false;           // this program handed the pictures over (not a raw input by path)
            qint64 inputPictures = -1;  // the input's pictures, where the run met its end early and could
                                        // tell them (a start past it, a raw file cut short); -1: not known
            bool encoderLeftEarly = false;  // the encoder went before it had every picture
            qint64 expected = 0;        // the pictures the run expected to hand over; 0: unknown
            qint64 declared = 0;        // what the input declares for the run's stretch; 0: unknown
            bool declaredExact = false; // declared is the container's own count
            OutputFacts facts;          // what the output should show of the input
            PictureTimes times;         // when each picture handed over is shown, as the input said
        };
        // What the encoder made of them.
        struct Bitstream
        {
            QList<PictureRow> rows;         // the encoder's picture lines, in display order
            double encoderCpuSeconds = 0;   // CPU time (user and system) of the encoder's processes
        };
        Verdict verdict;
        Pictures pictures;
        Bitstream bitstream;
    };

    // What stretch of the job the run encodes, and so where its encoder runs.
    enum class Part {
        Whole,          // the job in one piece (or the span it asks for): the encoder runs in the
                        // output's folder, so that a relative ReconFile lands beside the output
        Segment,        // one segment of a job in segments: the encoder runs in the run's private
                        // folder, where what it writes besides its bitstream goes with the folder
        SegmentAndNext  // a segment whose encoder also codes the next segment's first picture,
                        // which a join keeps from this run and proves against the next run's copy;
                        // the run's pictures, times and report rows are its own stretch's
    };
    // How the pictures reach the encoder.
    enum class Route {
        Stream,         // through a pipe as they come (a growing file where no pipe can be made),
                        // unless the configuration asks for a complete file
        CompleteFile    // through a file written whole before the encoder starts, for an encoder
                        // that reads its input twice
    };

    // settings.output is the bitstream this run's encoder writes.
    explicit EncoderRun(const JobSettings &settings, QObject *parent = nullptr);
    // Ends a running run and waits for it: no encoder and no temporary file outlive it.
    ~EncoderRun() override;

    // Each line of the encoder's output is handed on with this in front (e.g. "[3/12] "), whole
    // lines only; without a prefix the output passes as it comes.
    void setLinePrefix(const QString &prefix) { lines.setPrefix(prefix.toLatin1()); }
    // Before start(); Part::Whole unless told.
    void setPart(Part what) { part = what; }
    // Before start(); Route::Stream unless told: CompleteFile once another run of the job saw the
    // encoder open its input twice.
    void setRoute(Route how) { route = how; }
    void start();
    // Decoding stops, the encoder is terminated (killed after 2 s); finished() follows.
    void stop();
    // As stop(), but returns only once everything has ended, and finished() is not emitted.
    void abort();
    const Outcome &outcome() const { return result; }
    // Pictures given to the encoder; through a complete file, the encoder's count of the
    // pictures it coded (its "POC" lines), 0 while the file is being written.
    qint64 pictures() const { return picturesGiven; }
    // Writing the complete file the encoder reads once it is whole: the pictures written.
    bool preparing() const { return now == Stage::Preparing; }
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
    // Where the run has come; changed only through start(), stop(), abort() and the run's own
    // ends.
    enum class Stage {
        Ready,          // made, not started
        Preparing,      // the pictures go into the complete file; the encoder starts once it is whole
        Running,        // the encoder runs (or is about to), and the pictures go to it
        Failing,        // the run cannot go on: what runs is ended, then finished() tells the failure
        Rerouting,      // the encoder opened its input again: what runs is ended, then the run starts
                        // over through a complete file
        Stopping,       // asked to stop: what runs is ended, then finished()
        Aborting,       // ended at once, without finished()
        Ended           // finished() was emitted, or the abort is done
    };

    bool isRaw() const;
    bool rawByPath() const;
    bool segment() const { return part != Part::Whole; }
    bool overlap() const { return part == Part::SegmentAndNext; }
    void startRaw();
    void startFeed();
    void onReadyForEncoder(const QString &path, int width, int height, bool pipe, qint64 handing);
    QString sourceKeysHint() const;
    void watchInput();
    void stopWatch();
    void reroute(const QString &what);
    void startOver();
    void releasePipeOpeners();
    void tearDown();
    bool launchEncoder(const QString &encoderInput, int width, int height, qint64 handing);
    QString configForEncoder(int width, int height, qint64 handing);
    QByteArray cropLines(int width, int height);
    void watchStall();
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
    ReconPlace recon;               // where the encoder's reconstructed pictures go
    EncoderLines lines;             // the encoder's output on its way to the log and the report
    Stage now = Stage::Ready;
    Part part = Part::Whole;
    // Asked of the run, then what this attempt does: the configuration may ask for a complete
    // file too, and a run that starts over always goes through one.
    Route route = Route::Stream;
    int attempt = 0;                // 2 once the run started over; it keeps what the first showed
    qint64 picturesGiven = 0;
    qint64 handedOver = -1;         // the decode's count of pictures written, once it ended
    FilterContext context;          // the pictures around the stretch its temporal filter reads
    qint64 preparedPictures = 0;
    QString framePath;              // what the encoder reads
    QElapsedTimer encoderClock;
    // Told at the run's end: the encoder failed within its first seconds, which a configuration
    // without the source keys makes it do.
    QString endHint;
    Outcome result;

    PrivateFolder privateFolder;
    QProcess *encoder = nullptr;     // until the encoder's end is taken
    QTimer *killTimer = nullptr;
    QTimer *outputTimer = nullptr;   // runs while the rest of the encoder's output waits its turn
    QTimer *watchTimer = nullptr;
    // Whether the encoder, once it has every picture, still works.
    StallWatch stall;
    QTimer *stallTimer = nullptr;
    std::unique_ptr<EncoderInputWatch> inputWatch;
    QThread *decodeThread = nullptr; // until the decode's end is taken
    PictureFeed *worker = nullptr;   // the pictures' way to the encoder; none for a raw input by path
};

#endif // ENCODERRUN_H
