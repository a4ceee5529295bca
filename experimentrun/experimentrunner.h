#ifndef EXPERIMENTRUNNER_H
#define EXPERIMENTRUNNER_H

#include "cellrun.h"
#include "decoderrun.h"

#include "experiment/cellrecord.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

class ClaimKeeper;
class ExperimentCell;
class ExperimentPlan;
class HolderWatch;
class PartClaim;
class ResultsWriter;

// Runs a coding experiment, and is the one place that knows its graph: which cells there are,
// which are done (their record fits), which this process owns (under a claim in the results
// folder, refreshed while it works on them), which jobs and decoders run, and which cells
// other processes hold. It keeps `encoders` encoders busy: cells one piece each while there
// are more cells left than encoders, the last ones in segments (the job's parts folder and
// claims share them between this process's encoders and any other process with encoders
// free). A cell is a TranscodeJob (CellRun), done only once its bitstream, report and record
// check out; a finished one is decoded when its configuration names a decoder (DecoderRun); a
// failed one is recorded and the others go on. The results files are written whenever a
// sequence's cells are all done, and at the end. A file that cannot be written stops it all.
// It starts only on a folder that is its plan's (ExperimentFolder).
//
// Several processes, on this machine or on others sharing the folder, may run the same
// experiment at once: each owns the cells it claims, helps with the segments of others' last
// cells, takes over a cell whose owner has gone, and waits while others still work.
class ExperimentRunner : public QObject
{
    Q_OBJECT

public:
    // Something the user should hear of.
    struct Event
    {
        enum Kind {
            Started,   // this process began to encode a cell
            Done,      // a cell is done: its rate, quality and encoder time
            Failed,    // a cell failed: text says why
            Note       // a line for the log: a cell encoded again and why, a claim taken over
        };
        Kind kind = Note;
        int cell = -1;
        QString text;
        double kbitPerSecond = 0;
        double psnrY = 0;
        double encoderSeconds = 0;
    };
    // A cell being worked on, and the host that works on it.
    struct Holder
    {
        int cell = -1;
        QString host;
    };

    ExperimentRunner(const ExperimentPlan &plan, int encoders, QObject *parent = nullptr);
    ~ExperimentRunner() override;

    // Makes the folders and starts; false with *problem when the folders cannot be made, or the
    // results folder is not the plan's to use.
    bool start(QString *problem);
    // Stops every job and decoder; finished cells stay, and finished() follows.
    void stop();

    int cellCount() const;
    int doneCount() const;
    int failedCount() const;
    QList<Holder> running() const;
    // The time left from this run's pace so far; -1 while unknown.
    double secondsLeft() const;
    QString label(int cell) const;
    const ResultsWriter &results() const { return *writer; }
    // The first cell's file or results file that could not be written, with the reason; empty
    // when every one was.
    const QString &writeFailure() const { return unwritten; }
    // The signal below shares its name with QObject's event handler, which stays in view.
    using QObject::event;

signals:
    void event(const ExperimentRunner::Event &event);
    // Nothing of this process runs any more and the results are written.
    void finished();

private:
    void schedule();
    bool tryOwn(int index);
    void startEncode(int index, bool rejoin = false);
    void startRun(int index, const JobSettings &settings, bool helping, const QString &what);
    JobSettings settingsFor(const ExperimentCell &cell, int share, bool segments) const;
    bool cutsExactly(int index);
    void discardParts(int index);
    bool digestAsTheyAre(const ExperimentCell &cell);
    bool startHelping();
    void startDecode(int index);
    void runEnded(int index, const CellRun::Outcome &outcome);
    void encoded(int index, const JobResult &result, bool helping);
    void decoded(int index, const DecoderOutcome &outcome);
    void cellDone(int index);
    void cellFailed(int index, const CellRecord &record);
    void cellFailed(int index, int exitCode, const QString &reason, const QStringList &lastLines);
    void writeFailed(const QString &problem);
    void watch();
    void watchWaiting(int index);
    QList<PartClaim *> claimsHeld() const;
    void claimLost(PartClaim *claim);
    void considerEnd();
    void finishUp();
    qint64 newestRecordNs() const;
    int freeSlots() const;
    int cellsLeftToStart(int atMost) const;
    void note(int index, const QString &text);
    void sequenceMayBeComplete(int sequence);

    const ExperimentPlan &plan;
    const int encoders;
    std::vector<std::unique_ptr<ExperimentCell>> cells;   // in the plan's order
    std::vector<int> order;          // the cells in the order they are started
    ResultsWriter *writer = nullptr;
    ClaimKeeper *keeper = nullptr;   // keeps the claims of the cells this process owns fresh
    HolderWatch *holderWatch = nullptr;   // when to look again at cells others hold or make
    QElapsedTimer clock;
    qint64 startedMs = 0;            // wall clock at the start: failures recorded since are this round's
    int settledAtStart = 0;          // cells done or failed when this process started
    bool started = false;
    bool stopping = false;
    bool finishing = false;
    bool writtenWhileWaiting = false;   // the results of the cells done so far, once no cell is left to start here
    bool ended = false;
    QString unwritten;               // the first write that failed
    QSet<int> toldNotCut;            // configurations whose cells were said to run in one piece
};

Q_DECLARE_METATYPE(ExperimentRunner::Event)

#endif // EXPERIMENTRUNNER_H
