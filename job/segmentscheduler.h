#ifndef SEGMENTSCHEDULER_H
#define SEGMENTSCHEDULER_H

#include "jobpath.h"
#include "progressticker.h"
#include "segmentcheck.h"

#include "output/outputguard.h"
#include "output/outputmaker.h"
#include "parts/partsfolder.h"
#include "encoding/inputprobe.h"
#include "encoding/jobtypes.h"
#include "encoding/segmentrun.h"

#include <QSet>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class PartClaim;
class QThread;
class QTimer;

// A job in segments, and the one place that knows the graph of its work: the input is probed
// and cut (PartsOpening), up to N SegmentRuns encode segments at once into the parts folder
// beside the output, each under a claim, so that a later run of the same job or another process
// on it goes on where it stopped; each finished segment is checked and kept with its record;
// segments other processes hold are watched and taken over when their holders go; and once
// every segment is finished, the one process that claims the output hands the segments to the
// output step.
class SegmentScheduler : public JobPath
{
    Q_OBJECT

public:
    SegmentScheduler(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent = nullptr);
    // Ends a running job and waits for it, as abort() does.
    ~SegmentScheduler() override;

    void start() override;
    // Ends every encoder; the finished segments are kept, and finished() follows.
    void stop() override;
    // As stop(), but returns once everything has ended, without finished().
    void abort() override;

signals:
    // The input cannot be cut (its pictures cannot be counted, or the span lies past its end):
    // the job is to run in one piece instead, which says what is wrong in its own words.
    void inOnePiece();

private:
    // One segment of the plan and how far it has come.
    struct Segment
    {
        SegmentPlan::Segment span;
        bool finished = false;
        bool checking = false;      // its encoder is done and its bitstream is being checked
        bool reachedEnd = false;    // its run met the input's end
        qint64 pictures = 0;        // finished: its pictures; running: handed over so far
        SegmentRun *run = nullptr;
        std::unique_ptr<PartClaim> claim;
    };

    void reportCounting();
    void probed(const InputProbe &probe);
    bool finishedByAnother();
    void schedule();
    bool claim(int index);
    void startSegment(int index);
    void announce(const QString &commandLine);
    void segmentEnded(int index);
    void checkSegment(int index, const SegmentRun::Outcome &outcome);
    void segmentChecked(int index, const QString &problem);
    void segmentFailed(int index, const SegmentRun::Outcome &outcome);
    void inputEndsAt(qint64 end);
    void waitForOthers(int held, const QStringList &holders);
    void refreshClaims();
    void watchOthers();
    void lookForFinishedSegments();
    void makeOutput();
    void segmentsRead(const SegmentCheck::Kept &kept);
    void outputMade(const OutputResult &made);
    void fail(JobResult::Failure failure, const QString &text);
    void endSegments();
    void finish(JobResult result);
    void reportProgress(bool force);
    void addPreparing(JobProgress *progress) const;
    QString segmentLabel(int index) const;
    int segmentsFinished() const;
    void stopRuns();
    // Probing, checking and reading records run off the owner's thread, so that it stays
    // responsive; work is a function of its own, done comes back on the owner's thread.
    void offThread(std::function<void()> work, std::function<void()> done);

    const JobSettings settings;
    ProgressTicker ticker;
    int encoders = 1;
    bool stopping = false;
    bool aborting = false;
    bool ended = false;
    JobResult pending;              // the first failure, if any
    qint64 expectedPictures = 0;
    qint64 declaredPictures = 0;    // what the input declares, from the start picture on
    OutputFacts facts;
    QVector<qint64> pictureTimes;   // from a count of the input's packets: where segments start
    OutputGuard::Stamp outputAtStart;   // to tell an output another process made meanwhile
    // The count of the input's pictures while it runs (-1: not counting), and its stop.
    std::shared_ptr<std::atomic<int64_t>> counted = std::make_shared<std::atomic<int64_t>>(-1);
    std::shared_ptr<std::atomic_bool> probeStop = std::make_shared<std::atomic_bool>(false);
    QTimer *countTimer = nullptr;
    QString waitingFor;             // the holders this process waits for, as last said
    std::unique_ptr<PartsFolder> parts;
    std::vector<Segment> segments;
    bool announced = false;         // the command line was shown
    bool makingOutput = false;
    int checking = 0;               // finished runs whose segment is being checked
    qint64 picturesThisRun = 0;     // handed to encoders by this process, finished segments
    bool readsInputTwice = false;   // an encoder of this job was seen opening its input twice
    QSet<QString> segmentMessages;  // said already
    std::unique_ptr<PartClaim> outputClaim;
    std::unique_ptr<PartClaim> presence;   // this process works on the parts folder
    OutputMaker *maker = nullptr;
    QList<QThread *> helpers;
    QTimer *claimTimer = nullptr;
    QTimer *watchTimer = nullptr;
};

#endif // SEGMENTSCHEDULER_H
