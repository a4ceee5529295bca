#ifndef CELLREADER_H
#define CELLREADER_H

#include "cellprogress.h"
#include "cellstate.h"
#include "pathstamp.h"

#include "experiment/cellrecord.h"
#include "parts/partclaim.h"

#include <QSet>
#include <QString>

#include <memory>

class ExperimentPlan;
class SequenceLength;

// One cell of an experiment followed on disk, and never written. A plan may have a hundred
// thousand cells, so a cell with no file of its own is kept as its index and a few flags; what
// is read of its files is kept only once it has some. Its record, report and bitstream, in the
// plan's folder and in the folder of its configuration's cells made before, are read again only
// when one of them changed, and whether it counts as done is what CellStanding says, as for the
// runner and the results; its claim is looked at as every reader of claims looks at it
// (PartClaim::observe); and how far it has come while a claim holds it or its parts folder is
// there.
class CellReader
{
public:
    // What its sequence and configuration make a cell from now, shared by their cells.
    struct Expected
    {
        CellSources sources;       // of the sequence and configuration; the QP is the cell's own
        QString problem;           // why they cannot be read; empty when they can
    };

    explicit CellReader(int index);
    CellReader(CellReader &&) noexcept;
    CellReader &operator=(CellReader &&) noexcept;
    ~CellReader();

    int index() const { return cellIndex; }
    // What the cell is made from has changed: its standing is worked out again at the next look.
    void expectAgain() { expectationChanged = true; }
    // Looks at the cell's files. `names` and `madeNames` are the names in its configuration's
    // folder and in the folder of its cells made before, when listed for this look (null when
    // not): its record, claim and parts folder are looked for only then. True when what the view
    // shows of it changed.
    bool look(const ExperimentPlan &plan, const Expected &expected, const QSet<QString> *names,
              const QSet<QString> *madeNames, SequenceLength &lengths);
    // Whether a claim or a parts folder is there: such a cell is looked at on every poll.
    bool followed() const { return hasClaim || hasParts; }
    // Whether the view shows more of it than a cell waiting with nothing to say.
    bool told(const Expected &expected) const { return detail || !expected.problem.isEmpty(); }
    CellState state(const ExperimentPlan &plan, const Expected &expected) const;

private:
    struct Detail;

    bool lookStanding(const ExperimentPlan &plan, const Expected &expected);
    bool lookClaim(const CellFiles &files);
    bool lookProgress(const ExperimentPlan &plan, const Expected &expected, const CellFiles &files,
                      SequenceLength &lengths);
    void compose(const Expected &expected);
    QString waitingNote(const Expected &expected) const;

    int cellIndex = 0;
    bool hasRecord = false;
    bool hasMadeRecord = false;
    bool hasClaim = false;
    bool hasParts = false;
    bool expectationChanged = true;
    std::unique_ptr<Detail> detail;   // while it has a file
};

#endif // CELLREADER_H
