#ifndef CELLREADER_H
#define CELLREADER_H

#include "cellprogress.h"
#include "cellstate.h"
#include "pathstamp.h"

#include "experiment/cellrecord.h"
#include "parts/partclaim.h"
#include "report/yuvweights.h"

#include <QSet>
#include <QString>

class ExperimentPlan;
class SequenceLength;

// One cell of an experiment followed on disk, and never written: its record, report and
// bitstream are read again only when one of them changed (whether it counts as done is what
// CellStanding says, as for the runner), its claim's holder when its claim changed, and how far
// it has come while a claim holds it or its parts folder is there.
class CellReader
{
public:
    CellReader(const ExperimentPlan &plan, int index, int sequence, int configuration, int qpIndex);

    // Takes what the cell is to be made from as the plan's files are now; true when that
    // changed since the last time.
    bool expect(const ExperimentPlan &plan);
    // Looks at the cell's files. `names` are the names in its configuration's folder when it
    // was listed for this look, null when that folder has not changed since: its record and
    // claim are looked for only then. True when what the view shows of it changed.
    bool look(const QSet<QString> *names, SequenceLength &lengths);
    // Whether a claim or a parts folder is there: such a cell is looked at on every poll.
    bool followed() const { return hasClaim || hasParts; }
    const CellState &state() const { return shown; }

private:
    bool lookStanding(bool expectationChanged);
    bool lookClaim();
    bool lookProgress(SequenceLength &lengths);
    void compose();
    void composeFigures();
    QString waitingNote() const;

    CellFiles files;
    QString recordName, claimName, partsName;
    QString decoder;
    YuvWeights weights;
    CellSources expected;
    QString expectProblem;
    bool expectationChanged = true;
    bool hasRecord = false;
    bool hasClaim = false;
    bool hasParts = false;
    PathStamp recordStamp, reportStamp, bitstreamStamp, claimStamp;
    CellStanding standing;
    PartClaim::Holder holder;
    bool holderEnded = false;      // of this host, and no longer running
    qint64 silentSeconds = 0;      // of another host: how long its claim has gone unrefreshed
    qint64 pictures = -2;          // the cell's pictures (-1: unknown; -2: not asked yet)
    CellProgress progress;
    CellState shown;
};

#endif // CELLREADER_H
