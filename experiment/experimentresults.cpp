#include "experimentresults.h"

#include "cellrecord.h"
#include "experimentplan.h"

#include "report/bdrate.h"

#include <cmath>
#include <utility>

namespace {

CellFigures figuresOf(const ExperimentPlan &plan, int sequence, int configuration, int qp)
{
    CellFigures cell;
    cell.sequence = sequence;
    cell.configuration = configuration;
    cell.qp = qp;
    const CellFiles files = CellFiles::of(plan, sequence, configuration, qp);
    cell.bitstream = files.bitstream;
    cell.log = files.log;
    QString problem;
    const CellSources expected = CellSources::of(plan, sequence, configuration, qp, &problem);
    if (!problem.isEmpty())
        return cell;
    const CellStanding standing = CellStanding::of(files, expected, plan.configurations().at(configuration).decoder);
    const CellRecord &record = standing.record;
    if (standing.kind == CellStanding::Failed) {
        cell.state = CellFigures::Failed;
        cell.exitCode = record.exitCode;
        cell.failure = record.failure;
        cell.lastLines = record.lastLines;
        cell.hash = record.hashText();
        return cell;
    }
    if (standing.kind != CellStanding::Done)
        return cell;
    cell.state = CellFigures::Done;
    cell.kbitPerSecond = standing.figures.kbitPerSecond;
    cell.psnrY = standing.figures.psnrY;
    cell.psnrU = standing.figures.psnrU;
    cell.psnrV = standing.figures.psnrV;
    cell.encoderSeconds = record.encoderCpuSeconds;
    if (record.decoded)
        cell.decoderSeconds = record.decoderCpuSeconds;
    cell.hash = record.hashText();
    return cell;
}

double psnrOf(const CellFigures &cell, int plane)
{
    return plane == 0 ? cell.psnrY : plane == 1 ? cell.psnrU : cell.psnrV;
}

} // namespace

ExperimentResults ExperimentResults::gather(const ExperimentPlan &plan)
{
    ExperimentResults results;
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                results.cells << figuresOf(plan, s, c, qp);
                results.done += results.cells.last().state == CellFigures::Done ? 1 : 0;
                results.failed += results.cells.last().state == CellFigures::Failed ? 1 : 0;
            }
    results.total = int(results.cells.size());
    QStringList classes;
    for (const PlanSequence &sequence : plan.sequences())
        if (!sequence.className.isEmpty() && !classes.contains(sequence.className))
            classes << sequence.className;
    for (int c = 0; c < plan.configurations().size(); ++c) {
        if (c == plan.anchorIndex())
            continue;
        QList<Comparison> rows;
        for (int s = 0; s < plan.sequences().size(); ++s)
            rows << compare(plan, results.cells, s, c);
        results.sequences << rows;
        for (const QString &className : std::as_const(classes)) {
            QList<Comparison> inClass;
            for (const Comparison &row : std::as_const(rows))
                if (row.className == className)
                    inClass << row;
            results.classes << average(inClass, c, className);
        }
        results.overall << average(rows, c, QString());
    }
    return results;
}

const CellFigures &ExperimentResults::cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const
{
    const int perSequence = int(plan.configurations().size() * plan.qps().size());
    return cells.at(sequence * perSequence + configuration * int(plan.qps().size()) + qpIndex);
}

Comparison ExperimentResults::compare(const ExperimentPlan &plan, const QList<CellFigures> &cells, int sequence,
                                      int configuration)
{
    Comparison row;
    row.configuration = configuration;
    row.sequence = sequence;
    row.className = plan.sequences().at(sequence).className;
    row.sequencesTotal = 1;
    const int anchor = plan.anchorIndex();
    QList<const CellFigures *> sides[2];
    for (const CellFigures &cell : cells) {
        if (cell.sequence != sequence || (cell.configuration != anchor && cell.configuration != configuration))
            continue;
        row.missing += cell.state == CellFigures::Missing ? 1 : 0;
        row.failed += cell.state == CellFigures::Failed ? 1 : 0;
        sides[cell.configuration == anchor ? 0 : 1] << &cell;
    }
    if (row.missing > 0 || row.failed > 0)
        return row;
    row.sequences = 1;
    const char *planes[3] = {"Y", "U", "V"};
    for (int plane = 0; plane < 3; ++plane) {
        QList<RatePoint> curves[2];
        for (int side = 0; side < 2; ++side)
            for (const CellFigures *cell : std::as_const(sides[side]))
                curves[side].append({cell->kbitPerSecond, psnrOf(*cell, plane)});
        double percent = 0;
        QString error;
        if (BdRate::rateDifference(curves[0], curves[1], &percent, &error))
            row.bdRate[plane] = percent;
        else if (row.bdProblem.isEmpty())
            row.bdProblem = QStringLiteral("no BD-rate for %1: %2").arg(QLatin1String(planes[plane]), error);
    }
    double encoding[2] = {0, 0}, decoding[2] = {0, 0};
    bool allDecoded = true;
    for (int side = 0; side < 2; ++side)
        for (const CellFigures *cell : std::as_const(sides[side])) {
            encoding[side] += cell->encoderSeconds;
            allDecoded = allDecoded && cell->decoderSeconds.has_value();
            decoding[side] += cell->decoderSeconds.value_or(0);
        }
    if (encoding[0] > 0)
        row.encT = encoding[1] / encoding[0];
    if (allDecoded && decoding[0] > 0)
        row.decT = decoding[1] / decoding[0];
    return row;
}

Comparison ExperimentResults::average(const QList<Comparison> &rows, int configuration, const QString &className)
{
    Comparison mean;
    mean.configuration = configuration;
    mean.className = className;
    mean.sequencesTotal = int(rows.size());
    double bdSum[3] = {0, 0, 0};
    int bdCount[3] = {0, 0, 0};
    double logSum[2] = {0, 0};
    int ratioCount[2] = {0, 0};
    for (const Comparison &row : rows) {
        mean.missing += row.missing;
        mean.failed += row.failed;
        mean.sequences += row.bdRate[0].has_value() ? 1 : 0;
        for (int plane = 0; plane < 3; ++plane)
            if (row.bdRate[plane]) {
                bdSum[plane] += *row.bdRate[plane];
                ++bdCount[plane];
            }
        const std::optional<double> ratios[2] = {row.encT, row.decT};
        for (int i = 0; i < 2; ++i)
            if (ratios[i] && *ratios[i] > 0) {
                logSum[i] += std::log(*ratios[i]);
                ++ratioCount[i];
            }
    }
    for (int plane = 0; plane < 3; ++plane)
        if (bdCount[plane] > 0)
            mean.bdRate[plane] = bdSum[plane] / bdCount[plane];
    if (ratioCount[0] > 0)
        mean.encT = std::exp(logSum[0] / ratioCount[0]);
    if (ratioCount[1] > 0)
        mean.decT = std::exp(logSum[1] / ratioCount[1]);
    return mean;
}
