#ifndef EXPERIMENTCELL_H
#define EXPERIMENTCELL_H

#include "experiment/cellrecord.h"
#include "parts/partclaim.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <memory>

class CellRun;
class DecoderRun;
class ExperimentPlan;
class PartsFolder;

// One cell of an experiment as the runner keeps it: where its files are, what it is to be made
// from, and what this process has of it (its claim, a job, a decoder). The runner decides; a
// cell answers for itself and changes only through the transitions below, each of which keeps
// its claim, its phase and what runs on it in agreement.
class ExperimentCell
{
public:
    enum Phase {
        Open,      // not known to be done, and not this process's
        Owned,     // claimed by this process: encoding, decoding, or waiting for another's output
        Done,
        Failed     // failed in this round of the experiment
    };

    // sources: the cell's, as CellSources::ofEveryCell() reads them.
    ExperimentCell(const ExperimentPlan &plan, int sequence, int configuration, const CellSources::OfCell &sources);
    ~ExperimentCell();
    ExperimentCell(const ExperimentCell &) = delete;
    ExperimentCell &operator=(const ExperimentCell &) = delete;

    int sequence() const { return sequenceIndex; }
    int configuration() const { return configurationIndex; }
    int qp() const { return qpValue; }
    const CellFiles &files() const { return cellFiles; }
    const CellSources &sources() const { return cellSources; }
    // Why its sources cannot be used (a sequence or configuration unreadable); empty when they can.
    const QString &sourcesProblem() const { return unusableSources; }
    const QString &decoderProgram() const { return decoderPath; }

    Phase phase() const { return now; }
    CellRun *run() const { return job; }
    DecoderRun *decoder() const { return decoding; }
    bool helping() const { return helps; }
    // Owned, and another process makes its bitstream.
    bool waiting() const { return waits; }
    bool busy() const { return job || decoding || waits; }
    // Encoders its job and decoder keep busy.
    int encoders() const;

    // How it stands on disk now.
    CellStanding standing() const;
    // Takes what its record says while nobody here works on it; false when there is nothing
    // to do for it: done, or failed in this round (recorded since roundStartMs).
    bool settle(const CellStanding &standing, qint64 roundStartMs);
    // Its claim is held (PartClaim::observe); by another process than this one.
    bool heldByAnyone() const;
    bool heldByOther() const;
    // The host of the process that holds its claim, if any.
    QString holderHost() const;
    // The job that encodes it in segments, as a process that does not run that job sees it.
    PartsFolder parts() const;
    // Another process owns it and encodes it in segments, and a job of this process may help:
    // none runs here, none failed helping, and its configuration is the one this job gets.
    bool mayHelp() const;
    // Writes the configuration its encoder gets, unless it is there already; the reason when it
    // cannot be written.
    QString writeConfiguration() const;
    // Its claim while this process holds it, for its refresh; null when it does not.
    PartClaim *heldClaim();
    // Its claim, for what it tells of a take (its problem, the holder it was taken over from).
    const PartClaim &claim() const { return *ownClaim; }
    // Its claim, for a watch of its holder while another process holds it.
    PartClaim &claimToWatch() { return *ownClaim; }

    // Open becomes Owned: its claim is taken, unless another process holds it or finished the
    // cell between the look and the claim (finishedMeanwhile).
    PartClaim::Take own(const std::function<bool()> &finishedMeanwhile);
    // A job starts on it: this process's own (Owned), or one helping another's (Open).
    void started(CellRun *run, bool helping);
    void started(DecoderRun *decoder);
    // Its job has ended and goes; whether it was helping another process.
    bool runEnded();
    void decoderEnded();
    // Its job left the bitstream to another process: the cell waits for the record.
    void awaitOthers();
    // Waiting with its parts folder gone: whether the record has been awaited longer than
    // graceMs (the clock starts at the first ask, and again once the folder is seen).
    bool recordOverdue(bool partsThere, qint64 graceMs);
    // A job helping another process failed: this process helps with the cell no more.
    void helpFailed() { cannotHelp = true; }
    // Its segments' seams turned out not to be exact (why): it runs in one piece from now on.
    void seamsFailed(const QString &why) { notExact = why; }
    const QString &seamsFailure() const { return notExact; }
    // Owned becomes Done or Failed, the claim let go.
    void finish(Phase settled);
    // The time of change of the record that settled it, by the folder's clock, as last read
    // (CellStanding::recordChangedNs); -1 while not known.
    qint64 recordChangedNs() const { return recordNs; }
    void recordRead(const CellStanding &standing) { recordNs = standing.recordChangedNs; }
    // Gives up what this process has of it: the claim, and Owned becomes Open.
    void release();
    // Another process took the claim over: its own job and its decoder end at once, without
    // their ends, and the cell is Open.
    void lose();
    // Its job and decoder are asked to stop; a cell that only waits is let go.
    void stop();

private:
    int sequenceIndex = 0;
    int configurationIndex = 0;
    int qpValue = 0;
    CellFiles cellFiles;
    QString unusableSources;
    CellSources cellSources;
    QString decoderPath;
    Phase now = Open;
    qint64 recordNs = -1;
    CellRun *job = nullptr;           // this process's job on it, owned or helping
    bool helps = false;
    bool cannotHelp = false;          // a helping job failed: not again
    QString notExact;                 // why its seams were not exact, once a job in segments found so
    DecoderRun *decoding = nullptr;
    bool waits = false;
    QElapsedTimer recordAwaited;      // waiting: the parts folder is gone, the record not there yet
    std::unique_ptr<PartClaim> ownClaim;
};

#endif // EXPERIMENTCELL_H
