#ifndef SEGMENTTABLE_H
#define SEGMENTTABLE_H

#include "encoderrun/encoderrun.h"
#include "jobtypes/jobtypes.h"
#include "parts/holderwatch.h"
#include "parts/partclaim.h"
#include "parts/segmentplan.h"

#include <QList>
#include <QString>
#include <QVector>

#include <memory>
#include <vector>

class PartsFolder;
class QObject;

// The segments of a job's plan and how far each has come in this process: its span, its claim
// in the parts folder, the run encoding it, whether it is finished or being checked. It does to
// a segment what it is told and sums up what it holds; what happens next is its owner's
// business.
class SegmentTable
{
public:
    // One segment of the plan and how far it has come.
    struct Segment
    {
        SegmentPlan::Segment span;
        bool finished = false;
        bool checking = false;      // its encoder is done and its bitstream is being checked
        bool reachedEnd = false;    // its run met the input's end
        qint64 inputPictures = -1;  // and found the input to hold this many pictures; -1: not known
        qint64 pictures = 0;        // finished: its pictures; running: handed over so far
        EncoderRun *run = nullptr;
        std::unique_ptr<PartClaim> claim;

        // Neither finished nor taken up by this process: free, or held by another one.
        bool open() const { return !finished && !run && !checking; }
    };

    // The plan's segments, each with its claim in the parts folder.
    void plan(const QList<SegmentPlan::Segment> &spans, const PartsFolder &parts);

    Segment &operator[](int index) { return list[size_t(index)]; }
    const Segment &operator[](int index) const { return list[size_t(index)]; }
    int size() const { return int(list.size()); }
    bool empty() const { return list.empty(); }
    std::vector<Segment>::iterator begin() { return list.begin(); }
    std::vector<Segment>::iterator end() { return list.end(); }
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

    // Takes the segment's claim, then looks whether another process finished the segment between
    // the look that found it open and the claim (then it is let go again, the segment taken as
    // finished); *line says why it is Unusable, or from which gone holder it was taken over.
    PartClaim::Take take(int index, const PartsFolder &parts, QString *line);
    // Whether the segment is finished in the folder (by this process or another): then it is
    // taken as finished, with the pictures its record states.
    bool lookUp(int index, const PartsFolder &parts);
    // Every open segment that turns out finished in the folder is taken as finished.
    void lookForFinished(const PartsFolder &parts);
    // Makes the run that encodes the segment into its partial file (one left from before goes):
    // the job's settings, from the segment's first picture on for as many pictures as it holds.
    // readsTwice: the pictures go through a complete file from the start; prefixed: the
    // encoder's lines carry the segment's label.
    EncoderRun *newRun(int index, const JobSettings &job, const PartsFolder &parts,
                       const QVector<qint64> &pictureTimes, bool readsTwice, bool prefixed, QObject *parent);

    // The segment's run has ended: its outcome, and the pictures it handed over; the run goes.
    EncoderRun::Outcome takeOutcome(int index);
    // A finished segment that no longer matches its record goes, to be encoded again.
    void redo(int index, const PartsFolder &parts);

    void stopRuns();
    // Ends the segment's run at once, without its finished(); its partial file stays.
    void dropRun(int index);
    // Ends every run at once, without their finished(); with a folder, their partial files go.
    void dropRuns(const PartsFolder *parts);
    // The first segment that starts at or past picture end; -1 when there is none.
    int firstFrom(qint64 end) const;
    // The first segment finished or being checked that holds pictures at or past picture end,
    // or starts there; -1 when there is none.
    int holdingFrom(qint64 end) const;
    // Drops the segments from index on: their runs end, their partial files go and their claims
    // are released.
    void dropFrom(int index, const PartsFolder &parts);
    void releaseClaims();

    // The pictures of the finished segments, or of the others, handed over so far.
    qint64 pictures(bool finishedOnes) const;
    // The segments' progress: their pictures, how many are finished, and while no encoder runs
    // yet the complete files' first step. Returns the pictures the runs handed over so far.
    qint64 fill(JobProgress *progress) const;

private:
    std::vector<Segment> list;
};

#endif // SEGMENTTABLE_H
