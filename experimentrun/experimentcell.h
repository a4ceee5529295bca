#ifndef EXPERIMENTCELL_H
#define EXPERIMENTCELL_H

#include "experiment/cellrecord.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>

class CellParts;
class CellRun;
class DecoderRun;
class ExperimentPlan;
class PartClaim;

// One cell of an experiment as the runner keeps it: where its files are, what it is to be made
// from, and what this process has of it (its claim, a job, a decoder). The runner decides; a
// cell only answers for itself.
class ExperimentCell
{
public:
    enum Phase {
        Open,      // not known to be done, and not this process's
        Owned,     // claimed by this process: encoding, decoding, or waiting for another's output
        Done,
        Failed     // failed in this round of the experiment
    };

    ExperimentCell(const ExperimentPlan &plan, int sequence, int configuration, int qp);
    ~ExperimentCell();
    ExperimentCell(const ExperimentCell &) = delete;
    ExperimentCell &operator=(const ExperimentCell &) = delete;

    // How it stands on disk now.
    CellStanding standing() const;
    // Takes what its record says while nobody here works on it; false when there is nothing
    // to do for it: done, or failed in this round (recorded since roundStartMs).
    bool settle(const CellStanding &standing, qint64 roundStartMs);
    // Its claim is held by a live process; by another than this one.
    bool heldByAnyone() const;
    bool heldByOther() const;
    // The host of the process its claim names, if any.
    QString holderHost() const;
    // Takes its claim for this process; false when another holds it (error() tells a problem).
    bool claim();
    const PartClaim &claimObject() const { return *ownClaim; }
    // Gives up what this process has of it: the claim, and Owned becomes Open.
    void release();
    // Refreshes a held claim; false when another process took it over.
    bool refresh();
    // Encoders its job and decoder keep busy.
    int encoders() const;
    bool busy() const { return run || decoder || waiting; }
    // Writes the configuration its encoder gets, unless it is there already; the reason when it
    // cannot be written.
    QString writeConfiguration() const;
    CellParts &parts();

    int sequence = 0;
    int configuration = 0;
    int qp = 0;
    CellFiles files;
    CellSources sources;
    QString sourcesProblem;
    QString decoderProgram;
    Phase phase = Open;
    CellRun *run = nullptr;           // this process's job on it, owned or helping
    bool helping = false;
    bool helpFailed = false;          // a helping job failed: not again
    DecoderRun *decoder = nullptr;
    bool waiting = false;             // owned; another process makes its bitstream
    QElapsedTimer recordAwaited;      // waiting: the parts folder is gone, the record not there yet

private:
    std::unique_ptr<PartClaim> ownClaim;
    std::unique_ptr<CellParts> partsView;
};

#endif // EXPERIMENTCELL_H
