#ifndef EXPERIMENTRESULTS_H
#define EXPERIMENTRESULTS_H

#include "cellfigures.h"
#include "resultstable.h"

#include <QByteArray>
#include <QList>

#include <optional>

class ExperimentPlan;
struct CellStanding;

// The results of an experiment as plain values, worked out from the cells' records and
// reports as they are on disk: every cell, and the table against the plan's anchor. The table
// against any other configuration comes from the same cells, without reading them again.
class ExperimentResults
{
public:
    static ExperimentResults gather(const ExperimentPlan &plan);

    // The table against the plan's configuration `reference`, from the cells gathered; it reads
    // and writes no file, so a view can switch the reference at once.
    ResultsTable against(const ExperimentPlan &plan, int reference) const;

    QList<CellFigures> cells;      // per sequence, per configuration, per QP, in the plan's order
    ResultsTable table;            // against the plan's anchor
    int done = 0;
    int failed = 0;
    int total = 0;

    const CellFigures &cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const;

    // The cells as bytes that fromBytes() turns back into the same results for the same plan,
    // paths kept relative to the plan's folder (a shared folder may be mounted elsewhere on each
    // machine); nullopt for bytes of another plan or version, or cut short.
    QByteArray toBytes(const ExperimentPlan &plan) const;
    static std::optional<ExperimentResults> fromBytes(const ExperimentPlan &plan, const QByteArray &bytes);

    // A cell's figures as its standing on disk gives them, its files' paths left out: the same
    // for the results and for a view that follows the folder.
    static CellFigures figuresOf(const ExperimentPlan &plan, int sequence, int configuration, int qp,
                                 const CellStanding &standing);
};

#endif // EXPERIMENTRESULTS_H
