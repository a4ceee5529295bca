#ifndef SEGMENTSCHEDULER_H
#define SEGMENTSCHEDULER_H

#include "pendingresult.h"
#include "segmenttable.h"

#include "encoderrun/encoderrun.h"
#include "jobtypes/jobpath.h"
#include "jobtypes/jobtypes.h"
#include "jobtypes/progressticker.h"
#include "output/outputmaker.h"
#include "parts/partsfolder.h"
#include "segments/inputprobe.h"

#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class ClaimKeeper;
class HolderWatch;
class InputProbing;
class OffThread;
class PartClaim;
class QTimer;
class SegmentsOutput;

// A job in segments, and the one place that knows the graph of its work: the input is probed
// (InputProbing) and cut (PartsOpening), up to N EncoderRuns encode segments at once into the
// parts folder beside the output, each under a claim, so that a later run of the same job or
// another process on it goes on where it stopped; each finished segment is checked and kept
// with its record; segments other processes hold are watched (HolderWatch) and taken over when
// their holders go; and once every segment is finished, the one process that claims the output
// makes it of the segments (SegmentsOutput). How far each segment has come is kept in a
// SegmentTable and the result as it forms in a PendingResult; what happens next is decided here,
// by the scheduler's stage, which changes only through the transitions named beside it.
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
    // What the scheduler does.
    enum class Stage {
        Probing,        // the input is probed, then cut
        Encoding,       // segments are claimed, encoded and checked, and those others hold watched
        MakingOutput,   // every segment is finished, and this process makes the output of them
        Ending,         // nothing new starts (the job failed, an encoder failed, a segment cannot be
                        // kept, the output step ended, what is left is another process's, or
                        // another made the output); the job ends once nothing of it runs
        Stopping,       // asked to stop; the job ends once nothing of it runs
        Aborting,       // ended at once: finished() is not emitted
        Ended
    };

    void probed(const InputProbe &probe);
    bool openParts(const InputProbe &probe, qint64 total);
    bool seamsAllExact() const;
    // The transitions of the stage.
    void enter(Stage next);
    void windDown();
    void backToSegments();
    bool finishedByAnother();
    bool stopping() const { return stage == Stage::Stopping || stage == Stage::Aborting; }
    // The one way on once something ended or changed: the job ends if nothing of it runs and
    // nothing is left to do, and otherwise free encoders take up segments; later: from the event
    // loop, once the signal being handled has returned.
    void goOn();
    void goOnLater();
    void schedule();
    bool claim(int index);
    EncoderRun *newRun(int index);
    void startSegment(int index);
    void announce(const QString &commandLine);
    void segmentEnded(int index);
    void checkSegment(int index, const EncoderRun::Outcome &outcome);
    void segmentChecked(int index, const EncoderRun::Outcome::Pictures &pictures, const QString &problem);
    void segmentFailed(int index, const EncoderRun::Outcome &outcome);
    void inputEndsAt(qint64 end);
    QList<PartClaim *> claimsHeld() const;
    void claimLost(PartClaim *claim);
    void leaveSegment(int index);
    void watchOthers();
    void makeOutput();
    void redoSegments(const QList<int> &indexes);
    void closeSeams(const QList<int> &seams, const QStringList &reasons);
    bool overlaps(int index) const;
    void leaveToOthers(const QString &line);
    void outputMade(const OutputResult &made);
    void fail(JobResult::Failure failure, const QString &text);
    void endSegments();
    void finish(JobResult result);
    void reportProgress(bool force);
    // What segments say (the pictures' format, a hint) is said once for the job.
    void sayOnce(const QString &line);
    // Probing, checking segments or making the output, off the owner's thread.
    bool helpersBusy() const;

    const JobSettings settings;
    JobSettings runSettings;        // each segment's run's, before its span: the job's stretch around it
    ProgressTicker ticker;
    int encoders = 1;
    Stage stage = Stage::Probing;
    PendingResult pending;
    qint64 expectedPictures = 0;
    qint64 declaredPictures = 0;    // what the input declares, from the start picture on
    OutputFacts facts;
    QVector<qint64> pictureTimes;   // from a count of the input's packets: where segments start
    InputProbing *probing = nullptr;
    std::unique_ptr<PartsFolder> parts;
    SegmentTable segments;
    // The command line shown for the job: the first segment's, with how many follow; empty until
    // then. Until it is shown, one encoder runs alone, so that the box is answered once.
    QString shownCommandLine;
    qint64 picturesThisRun = 0;     // handed to encoders by this process, finished segments
    QList<qint64> keptHere;         // the first pictures of the segments this process kept
    // How the segments' encoders get their pictures: through a complete file once an encoder of
    // this job was seen opening its input twice.
    EncoderRun::Route route = EncoderRun::Route::Stream;
    // Segments may start this many pictures apart so that a seam can be exact (each segment
    // before one also codes the next one's first picture); 0: seams are closed.
    qint64 seamStep = 0;
    QString closedBecause;          // why the plan's seams cannot be exact, where they cannot
    QSet<QString> segmentMessages;  // said already
    std::unique_ptr<PartClaim> presence;   // this process works on the parts folder
    SegmentsOutput *output = nullptr;
    HolderWatch *holderWatch = nullptr;
    OffThread *checks = nullptr;    // the checks of segments whose encoder is done
    ClaimKeeper *claimKeeper = nullptr;   // keeps this process's claims fresh
    QTimer *goOnTimer = nullptr;    // runs while a goOnLater() waits
};

#endif // SEGMENTSCHEDULER_H
