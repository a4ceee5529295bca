#ifndef TRANSCODEJOB_H
#define TRANSCODEJOB_H

#include "inputprobe.h"
#include "jobtypes.h"
#include "outputguard.h"
#include "partsfolder.h"

#include "mux/containermuxer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class PartClaim;
class QThread;
class QTimer;
class SegmentRun;

// One transcode from start to end, without widgets, and the only interface the window and the
// command-line program see. The owner talks to it through its signals and stop(); it lives on
// the owner's thread, which must run an event loop.
//
// In one piece (one encoder, no segment length, or a raw input) a single SegmentRun encodes
// the whole input into the output, whose parameter sets are then rewritten to show what the
// input showed. In segments, the input is cut by a SegmentPlan and up to N SegmentRuns encode
// segments at once into the parts folder beside the output (PartsFolder), each under a claim,
// so that a later run of the same job, or another process on it, goes on where it stopped;
// when every segment is finished they are joined, rewritten and put in the output's place.
class TranscodeJob : public QObject
{
    Q_OBJECT

public:
    explicit TranscodeJob(QObject *parent = nullptr);
    // Stops a running job and waits for it: no encoder and no temporary file outlive it.
    ~TranscodeJob() override;

    // Starts the job; every start ends in exactly one finished(), a failure to start included.
    void start(const JobSettings &settings);
    // Asks a running job to stop: decoding stops, the encoders are terminated (killed after
    // 2 s) and finished() follows with Stopped. A one-piece output keeps what the encoder
    // wrote; finished segments are kept for a later run.
    void stop();
    // Stops as stop() does and returns only when the job has ended, without emitting finished().
    void abort();
    bool isRunning() const { return running; }

signals:
    // The encoder's command line, just before the (first) encoder starts. A slot connected
    // directly may show it modally: the encoders start once the slot returns.
    void commandLineReady(const QString &commandLine);
    void progressChanged(const JobProgress &progress);
    // Bytes the encoders wrote to their standard output, in chunks of bounded size; with
    // several encoders at once, whole lines each prefixed with its segment ("[3/12] ").
    void encoderOutput(const QByteArray &bytes);
    // A line for the log: the transport, an early end of the encoder, a stop, the rewrite.
    void message(const QString &line);
    // Something the user should see at once (a picture size change, a full disk).
    void warning(const QString &title, const QString &text);
    void finished(const JobResult &result);

private:
    // How long processes that still write into the encoder's output after it exited (its
    // children) are waited for before the output is left as it is.
    static constexpr int writersGraceMs = 3000;

    // What the steps after a successful encoder found: log lines, a broken contract, whether
    // the bitstream was left as it is (still being written), and the container's outcome.
    struct OutputCheck
    {
        QStringList lines;
        QString problem;
        bool leftAsIs = false;
        std::shared_ptr<MuxResult> muxed;   // set for a container output that was muxed
    };
    // One segment of the plan and how far it has come.
    struct Segment
    {
        SegmentPlan::Segment span;
        bool finished = false;
        bool checking = false;      // its encoder is done and its bitstream is being checked
        qint64 pictures = 0;        // finished: its pictures; running: handed over so far
        SegmentRun *run = nullptr;
        std::unique_ptr<PartClaim> claim;
    };

    bool checkPaths();
    void fail(JobResult::Failure failure, const QString &text);
    void finish(JobResult result);
    void reportProgress(bool force);
    void addPreparing(JobProgress *progress) const;
    void prepareRun(SegmentRun *run, bool segment);

    // One piece.
    void startOnePiece();
    void onePieceFinished();
    void checkDeclaredCount(qint64 declared, bool exact);
    static OutputCheck checkAndRewrite(const QString &output, const OutputFacts &facts,
                                       const OutputGuard::Stamp &before);

    // A container output: the encoder writes a hidden file beside it, muxed at the end.
    bool containerOutput() const;
    std::shared_ptr<MuxRequest> containerRequest(const QString &bitstream, const PictureTimes &times,
                                                 bool reachedEnd) const;
    void finishContainer(JobResult *result, const OutputCheck &check);
    // The report: the rows at their pictures, the summary worked out from the bitstream file.
    double reportFrameRate(const OutputFacts &shown) const;
    void completeReport(JobResult *result, const QList<PictureRow> &rows, const QString &bitstream,
                        const OutputFacts &shown);
    QString keepBitstream(QString bitstream, bool say = true);

    // Segments.
    void startSegments();
    void onProbed(const InputProbe &probe);
    bool openParts(const InputProbe &probe);
    bool partsUnusable(const QString &problem);
    bool discardKept(const QString &reason);
    bool coveringPlan(const PartsFolder::JobRecord &wanted, PartsFolder::JobRecord *kept);
    PartsFolder::JobRecord recordFor(const InputProbe &probe) const;
    bool partsInUse();
    void schedule();
    void startSegment(int index);
    void segmentEnded(int index);
    void segmentChecked(int index, const QString &problem);
    void watchOthers();
    void lookForFinishedSegments();
    void refreshClaims();
    void makeOutput();
    void outputMade(const QString &problem, const QStringList &lines, const QList<int> &redo);
    void endSegments();
    QString segmentLabel(int index) const;
    int segmentsFinished() const;
    void stopRuns();

    JobSettings settings;
    bool running = false;
    bool stopping = false;
    bool aborting = false;
    JobResult pending;              // the first failure, if any
    QElapsedTimer clock;
    qint64 lastProgressMs = -1;
    qint64 expectedPictures = 0;
    qint64 declaredPictures = 0;    // what the input declares, from the start picture on
    qint64 shortOfDeclared = 0;     // set to the declared count when the input ended short of it
    // Probing, checking, joining and rewriting run off the owner's thread, so that it stays
    // responsive; work is a function of its own, done comes back on the owner's thread.
    void offThread(std::function<void()> work, std::function<void()> done);
    QList<QThread *> helpers;

    // One piece.
    SegmentRun *onePiece = nullptr;
    QString privateBitstream;       // a container output's: the encoder's file beside it
    std::atomic_bool muxStop{false};
    bool readsInputTwice = false;   // an encoder of this job was seen opening its input twice

    // Segments.
    std::unique_ptr<PartsFolder> parts;
    std::vector<Segment> segments;
    OutputFacts facts;
    int encoders = 1;
    bool announced = false;         // the command line was shown
    bool makingOutput = false;
    int checking = 0;               // finished runs whose segment is being checked
    qint64 picturesThisRun = 0;     // handed to encoders by this process, finished segments
    QSet<QString> segmentMessages;  // said already
    std::unique_ptr<PartClaim> outputClaim;
    std::unique_ptr<PartClaim> presence;   // this process works on the parts folder
    QTimer *claimTimer = nullptr;
    QTimer *watchTimer = nullptr;
};

#endif // TRANSCODEJOB_H
