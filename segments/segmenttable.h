#ifndef SEGMENTTABLE_H
#define SEGMENTTABLE_H

#include "encoderrun/encoderrun.h"
#include "jobtypes/jobtypes.h"
#include "output/outputguard.h"
#include "parts/holderwatch.h"
#include "parts/partclaim.h"
#include "parts/segmentplan.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

class PartsFolder;

// The segments of a job's plan and how far each has come in this process: its span, its claim
// in the parts folder, its phase and the run that encodes it. It does to a segment what it is
// told, through the transitions below, each of which keeps a segment's phase, its claim and its
// run in agreement, and sums up what it holds; what happens next is its owner's business.
class SegmentTable
{
public:
    // How far a segment has come in this process.
    enum Phase {
        Open,       // neither finished nor taken up here: free, or held by another process
        Claimed,    // its claim is this process's, and nothing runs on it
        Encoding,   // a run of this process encodes it
        Checking,   // its encoder is done and its bitstream is being checked
        Finished    // kept in the parts folder, by this process or another
    };

    // One segment of the plan; read only, changed through the table's transitions.
    struct Segment
    {
        SegmentPlan::Segment span;
        Phase phase = Open;
        qint64 pictures = 0;        // finished: its pictures; encoding: handed over so far
        EncoderRun *run = nullptr;  // encoding: the run
        OutputGuard::Stamp before;  // its partial file just before its encoder started
        std::unique_ptr<PartClaim> claim;
    };

    // The plan's segments, each with its claim in the parts folder.
    void plan(const QList<SegmentPlan::Segment> &spans, const PartsFolder &parts);

    const Segment &operator[](int index) const { return list[size_t(index)]; }
    int size() const { return int(list.size()); }
    bool empty() const { return list.empty(); }
    std::vector<Segment>::const_iterator begin() const { return list.begin(); }
    std::vector<Segment>::const_iterator end() const { return list.end(); }

    // "3/12": the segment's place in the plan, for the log.
    QString label(int index) const;
    // "512 to 767", or "from 512 on" for a segment that runs to the end of the input.
    static QString spanText(const SegmentPlan::Segment &span);
    // "Segment 3/12 (pictures 512 to 767)".
    QString describe(int index) const;
    // The line that says that the segments from index on start past the input's end, at
    // picture end, and are dropped.
    QString droppedLine(int index, qint64 end) const;
    int finished() const;
    int running() const;
    QList<qint64> firsts() const;
    QList<PartClaim *> openClaims() const;
    // The claims of the segments this process encodes or checks.
    QList<PartClaim *> claimsInHand() const;
    // The segment whose claim this is; -1 when none.
    int indexOf(const PartClaim *claim) const;
    // What this process says while it waits for the segments other processes hold, and when it
    // leaves them to their holders (--no-wait).
    static QString waitingLine(const HolderWatch::Look &look);
    static QString leftLine(const HolderWatch::Look &look);

    // Open becomes Claimed: takes the segment's claim, then looks whether another process
    // finished the segment between the look that found it open and the claim (then it is let go
    // again, and the segment is Finished); *line says why it is Unusable, or from which gone
    // holder it was taken over.
    PartClaim::Take take(int index, const PartsFolder &parts, QString *line);
    // An Open segment that is finished in the folder (by this process or another) becomes
    // Finished, with the pictures its record states; whether it did.
    bool lookUp(int index, const PartsFolder &parts);
    // Every Open segment that turns out finished in the folder becomes Finished.
    void lookForFinished(const PartsFolder &parts);
    // Claimed becomes Encoding: the run encodes it into its partial file.
    void started(int index, EncoderRun *run);
    // Encoding: the pictures its run handed over so far.
    void progressed(int index, qint64 pictures);
    // Encoding: its encoder is about to start; its partial file as it is now.
    void encoderStarting(int index, const PartsFolder &parts);
    // Encoding becomes Claimed: the run has ended and goes; its outcome.
    EncoderRun::Outcome runEnded(int index);
    // Claimed becomes Checking, and back to Claimed once checked.
    void checking(int index);
    void checked(int index);
    // Claimed becomes Finished, with the pictures its run handed over; the claim is let go.
    void finish(int index);
    // Claimed or Checking becomes Open: the claim is let go.
    void release(int index);
    // The segment was taken over by another process: its run ends at once, without its
    // finished(), its partial file goes, and it is Open.
    void leave(int index, const PartsFolder &parts);
    // Finished becomes Open: it no longer matches its record and goes, to be encoded again.
    void redo(int index, const PartsFolder &parts);

    // Every run is asked to stop; each ends with its finished().
    void stopRuns();
    // Every run ends at once, without its finished(), and its segment is Claimed; with a folder,
    // their partial files go.
    void dropRuns(const PartsFolder *parts);
    // The first segment that starts at or past picture end; -1 when there is none.
    int firstFrom(qint64 end) const;
    // The first segment finished or being checked that holds pictures at or past picture end,
    // or starts there; -1 when there is none.
    int holdingFrom(qint64 end) const;
    // Drops the segments from index on: their runs end, their partial files go and their claims
    // are released.
    void dropFrom(int index, const PartsFolder &parts);
    // Every claim this process holds is let go; the segments it held are Open.
    void releaseClaims();

    // The pictures of the finished segments, or of the others, handed over so far.
    qint64 pictures(bool finishedOnes) const;
    // The segments' progress: their pictures, how many are finished, and while no encoder runs
    // yet the complete files' first step. Returns the pictures the runs handed over so far.
    qint64 fill(JobProgress *progress) const;

private:
    void dropRun(Segment &segment);

    std::vector<Segment> list;
};

#endif // SEGMENTTABLE_H
