#include "viewtable.h"

#include "experiment/experimentplan.h"

namespace {

TableRow rowOf(TableRow::Kind kind, const Comparison &figures, int reference)
{
    TableRow row;
    row.kind = kind;
    row.configuration = figures.configuration;
    row.reference = reference;
    row.figures = figures;
    return row;
}

} // namespace

QList<TableRow> ViewTable::of(const ExperimentPlan &plan, const QList<CellState> &cells, int reference)
{
    const ResultsTable table = ResultsTable::of(
        plan, [&cells](int index) -> const CellFigures & { return cells.at(index).figures; }, reference);
    const int qps = int(plan.qps().size());
    QList<TableRow> rows;
    for (int c : table.tests) {
        TableRow heading;
        heading.kind = TableRow::Heading;
        heading.configuration = c;
        heading.reference = reference;
        rows << heading;
        for (const Comparison &sequence : table.sequences) {
            if (sequence.configuration != c)
                continue;
            TableRow row = rowOf(TableRow::Sequence, sequence, reference);
            for (int q = 0; q < qps; ++q)
                for (int side : {reference, c}) {
                    const CellState &cell = cells.at(plan.cellIndex(sequence.sequence, side, q));
                    row.cellsDone += cell.kind == CellState::Done ? 1 : 0;
                    row.cellsFailed += cell.kind == CellState::Failed ? 1 : 0;
                    ++row.cellsTotal;
                }
            rows << row;
        }
        for (const Comparison &average : table.classes)
            if (average.configuration == c)
                rows << rowOf(TableRow::Class, average, reference);
        for (const Comparison &average : table.overall)
            if (average.configuration == c)
                rows << rowOf(TableRow::Overall, average, reference);
    }
    return rows;
}
