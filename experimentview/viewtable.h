#ifndef VIEWTABLE_H
#define VIEWTABLE_H

#include "cellstate.h"

#include "experiment/resultstable.h"

#include <QList>

class ExperimentPlan;

// One row of the view's table: a test configuration against the reference for one sequence,
// averaged over a class or over the whole test, or the heading of a configuration's rows.
struct TableRow
{
    enum Kind { Heading, Sequence, Class, Overall };
    Kind kind = Sequence;
    int configuration = 0;             // the test configuration
    int reference = 0;
    Comparison figures;                // the results table's, for all but a heading
    int cellsDone = 0;                 // a sequence's cells of both configurations
    int cellsFailed = 0;
    int cellsTotal = 0;
};

// The view's table from the cells as the follower tells them: the results table of the
// experiment (the same rows, figures, averages and reasons as the results files) against any
// configuration as the reference, laid out as the view shows it, with how many of a sequence's
// cells are done.
class ViewTable
{
public:
    // `cells` in the plan's order, one for every cell.
    static QList<TableRow> of(const ExperimentPlan &plan, const QList<CellState> &cells, int reference);
};

#endif // VIEWTABLE_H
