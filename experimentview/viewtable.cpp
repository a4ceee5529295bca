#include "viewtable.h"

#include "experiment/experimentplan.h"
#include "report/bdrate.h"

#include <cmath>

namespace {

double psnrOf(const CellState &cell, int plane)
{
    switch (plane) {
    case 0:
        return cell.figures.psnrY;
    case 1:
        return cell.figures.psnrU;
    case 2:
        return cell.figures.psnrV;
    default:
        return cell.psnrYuv;
    }
}

const char *planeNames[4] = {"Y", "U", "V", "YUV"};

} // namespace

QList<TableRow> ViewTable::of(const ExperimentPlan &plan, const QList<CellState> &cells, int reference)
{
    QStringList classes;
    for (const PlanSequence &sequence : plan.sequences())
        if (!sequence.className.isEmpty() && !classes.contains(sequence.className))
            classes << sequence.className;
    QList<TableRow> table;
    for (int c = 0; c < plan.configurations().size(); ++c) {
        if (c == reference)
            continue;
        TableRow heading;
        heading.kind = TableRow::Heading;
        heading.configuration = c;
        heading.reference = reference;
        table << heading;
        QList<TableRow> rows;
        for (int s = 0; s < plan.sequences().size(); ++s)
            rows << compare(plan, cells, s, c, reference);
        table << rows;
        for (const QString &className : std::as_const(classes)) {
            QList<TableRow> inClass;
            for (const TableRow &row : std::as_const(rows))
                if (row.className == className)
                    inClass << row;
            table << average(inClass, TableRow::Class, className);
        }
        table << average(rows, TableRow::Overall, QString());
    }
    return table;
}

TableRow ViewTable::compare(const ExperimentPlan &plan, const QList<CellState> &cells, int sequence,
                               int configuration, int reference)
{
    TableRow row;
    row.configuration = configuration;
    row.reference = reference;
    row.sequence = sequence;
    row.className = plan.sequences().at(sequence).className;
    row.sequencesTotal = 1;
    const int qps = int(plan.qps().size());
    const int first = sequence * int(plan.configurations().size()) * qps;
    QList<const CellState *> sides[2];
    for (int q = 0; q < qps; ++q)
        for (const int c : {reference, configuration}) {
            const CellState &cell = cells.at(first + c * qps + q);
            sides[c == reference ? 0 : 1] << &cell;
            row.cellsDone += cell.kind == CellState::Done ? 1 : 0;
            row.cellsFailed += cell.kind == CellState::Failed ? 1 : 0;
            ++row.cellsTotal;
        }
    if (row.cellsDone < row.cellsTotal)
        return row;
    row.sequences = 1;
    for (int plane = 0; plane < 4; ++plane) {
        QList<RatePoint> curves[2];
        for (int side = 0; side < 2; ++side)
            for (const CellState *cell : std::as_const(sides[side]))
                curves[side].append({cell->figures.kbitPerSecond, psnrOf(*cell, plane)});
        double percent = 0;
        QString error;
        if (BdRate::rateDifference(curves[0], curves[1], &percent, &error))
            row.bdRate[plane] = percent;
        else if (row.problem.isEmpty())
            row.problem = QStringLiteral("no BD-rate for %1: %2").arg(QLatin1String(planeNames[plane]), error);
    }
    double encoding[2] = {0, 0}, decoding[2] = {0, 0};
    bool decoded = true;
    for (int side = 0; side < 2; ++side)
        for (const CellState *cell : std::as_const(sides[side])) {
            encoding[side] += cell->figures.encoderSeconds;
            decoded = decoded && cell->figures.decoderSeconds.has_value();
            decoding[side] += cell->figures.decoderSeconds.value_or(0);
        }
    if (encoding[0] > 0)
        row.encT = encoding[1] / encoding[0];
    if (decoded && decoding[0] > 0)
        row.decT = decoding[1] / decoding[0];
    return row;
}

TableRow ViewTable::average(const QList<TableRow> &rows, TableRow::Kind kind, const QString &className)
{
    TableRow mean;
    mean.kind = kind;
    mean.className = className;
    mean.sequencesTotal = int(rows.size());
    double sums[4] = {0, 0, 0, 0};
    int counts[4] = {0, 0, 0, 0};
    double logSums[2] = {0, 0};
    int ratios[2] = {0, 0};
    for (const TableRow &row : rows) {
        mean.configuration = row.configuration;
        mean.reference = row.reference;
        mean.cellsDone += row.cellsDone;
        mean.cellsFailed += row.cellsFailed;
        mean.cellsTotal += row.cellsTotal;
        mean.sequences += row.bdRate[0] ? 1 : 0;
        for (int plane = 0; plane < 4; ++plane)
            if (row.bdRate[plane]) {
                sums[plane] += *row.bdRate[plane];
                ++counts[plane];
            }
        const std::optional<double> times[2] = {row.encT, row.decT};
        for (int i = 0; i < 2; ++i)
            if (times[i] && *times[i] > 0) {
                logSums[i] += std::log(*times[i]);
                ++ratios[i];
            }
    }
    for (int plane = 0; plane < 4; ++plane)
        if (counts[plane] > 0)
            mean.bdRate[plane] = sums[plane] / counts[plane];
    if (ratios[0] > 0)
        mean.encT = std::exp(logSums[0] / ratios[0]);
    if (ratios[1] > 0)
        mean.decT = std::exp(logSums[1] / ratios[1]);
    return mean;
}
