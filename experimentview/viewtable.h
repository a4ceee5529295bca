#ifndef VIEWTABLE_H
#define VIEWTABLE_H

#include "cellstate.h"

#include <QList>
#include <QString>

#include <optional>

class ExperimentPlan;

// One row of the view's table: a test configuration against the reference, for one sequence,
// averaged over a class or over the whole test, or the heading of a configuration's rows.
struct TableRow
{
    enum Kind { Heading, Sequence, Class, Overall };
    Kind kind = Sequence;
    int configuration = 0;             // the test configuration
    int reference = 0;
    int sequence = -1;                 // a sequence's row
    QString className;
    std::optional<double> bdRate[4];   // Y, U, V and YUV, in percent
    QString problem;                   // why there is no BD-rate although every cell is done
    std::optional<double> encT;        // the test's CPU time over the reference's
    std::optional<double> decT;
    int cellsDone = 0;                 // a sequence's cells of both configurations
    int cellsFailed = 0;
    int cellsTotal = 0;
    int sequences = 0;                 // an average: the sequences with figures, of all of them
    int sequencesTotal = 0;
};

// The results table as the view shows it, for any configuration as the reference: the same
// rows, figures and averages as the results files (BD-rates as --bd-rate works them out, the
// arithmetic mean of the BD-rates and the geometric mean of the time ratios over a class and
// the whole test), with a YUV BD-rate from the reports' PSNR-YUV. The view asks this one place
// for the table, so that the table of the experiment's own results can take its place.
class ViewTable
{
public:
    // `cells` in the plan's order (ExperimentResults::cell's), one for every cell.
    static QList<TableRow> of(const ExperimentPlan &plan, const QList<CellState> &cells, int reference);

private:
    static TableRow compare(const ExperimentPlan &plan, const QList<CellState> &cells, int sequence,
                            int configuration, int reference);
    static TableRow average(const QList<TableRow> &rows, TableRow::Kind kind, const QString &className);
};

#endif // VIEWTABLE_H
