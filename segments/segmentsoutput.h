#ifndef SEGMENTSOUTPUT_H
#define SEGMENTSOUTPUT_H

#include "segmentcheck.h"

#include "jobtypes/jobtypes.h"
#include "jobtypes/progressticker.h"
#include "output/outputmaker.h"
#include "parts/partclaim.h"
#include "parts/partsfolder.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class OffThread;

// The output of a job in segments, made once every segment is finished, by the one process
// that claims it: every segment is checked whole against its record (one edited or cut short
// since is to be encoded again), and the segments go to the output step in order. It knows the
// parts folder and where each segment starts, not how the segments were made.
class SegmentsOutput : public QObject
{
    Q_OBJECT

public:
    SegmentsOutput(const JobSettings &settings, const QElapsedTimer &jobClock, QObject *parent = nullptr);
    // Ends everything and waits for it, as abort() does.
    ~SegmentsOutput() override;

    // Notes the output and the job record as they are before the job, to tell an output
    // another process made meanwhile.
    void noteOutput();
    // Another process on this job made the output and removed the parts folder since
    // noteOutput(): the line that says so; empty when not.
    QString madeElsewhere() const;
    // Takes the output's claim: empty when taken, else the line that says who makes the output.
    QString claim();
    // Another live process holds the output's claim: the line that says who makes the output;
    // empty when nobody else does.
    QString claimedElsewhere() const;
    // Once another process made the output: the parts folder, should it be left empty (this
    // process had a file in it while the other removed the job's), goes.
    void removeFolderLeftEmpty() const;
    // Reads the records of the segments that start at firsts, off the owner's thread, and
    // hands the segments to the output step; redo() or finished() follows.
    void start(const QList<qint64> &firsts, const OutputFacts &facts);
    // A container being written stops; finished() follows with Stopped.
    void stop();
    // Returns once everything has ended, without finished().
    void abort();
    bool isRunning() const;
    // Keeps the claim fresh while it is held.
    void refreshClaim();
    void releaseClaim();
    // Writes into the job record that this encoder and configuration gave a seam whose copies
    // differed (reason), so that later segments of this job and later runs of it are closed at
    // once. The line for the log.
    QString rememberClosedSeams(const QString &reason) const;
    // What the output step's end makes of the job's result; true when the output is in place
    // and the parts folder may go.
    bool account(const OutputResult &made, JobResult *result) const;

signals:
    void message(const QString &line);
    // The segments, by their place in firsts, that no longer match their records; the output
    // is still claimed.
    void redo(const QList<int> &indexes);
    // The seams, by the place of the segment before them in firsts, whose two copies of the
    // picture there were not proven to match, and why: nothing was joined, and the output is
    // still claimed.
    void seamsNotProven(const QList<int> &seams, const QStringList &reasons);
    void finished(const OutputResult &made);

private:
    void segmentsRead(const SegmentCheck::Kept &kept, const QList<qint64> &firsts, const OutputFacts &facts);
    void outputMade(const OutputResult &made);
    static QString madeByLine(const PartClaim::Holder &holder);

    const JobSettings settings;
    const ProgressTicker ticker;
    const PartsFolder parts;
    OutputGuard::Stamp outputBefore;
    OutputGuard::Stamp jobBefore;   // the job record found at the start, if any
    bool stopping = false;
    double encoderCpuSeconds = 0;   // of every segment's encoder, from their records
    std::unique_ptr<PartClaim> outputClaim;
    OutputMaker *maker = nullptr;
    OffThread *reader = nullptr;
};

#endif // SEGMENTSOUTPUT_H
