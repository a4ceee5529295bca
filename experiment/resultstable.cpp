#include "resultstable.h"

#include "experimentplan.h"

#include "report/bdrate.h"
#include "report/qualityreport.h"

#include <cmath>
#include <utility>

namespace {

const char *const planeNames[Comparison::planes] = {"Y", "U", "V", "YUV"};

double psnrOf(const CellFigures &cell, int plane)
{
    switch (plane) {
    case Comparison::Y:
        return cell.psnrY;
    case Comparison::U:
        return cell.psnrU;
    case Comparison::V:
        return cell.psnrV;
    }
    return cell.psnrYuv;
}

QList<RatePoint> curveOf(const QList<const CellFigures *> &cells, int plane)
{
    QList<RatePoint> curve;
    for (const CellFigures *cell : cells)
        curve.append({cell->kbitPerSecond, psnrOf(*cell, plane)});
    return curve;
}

// The planes both curves are compared by: U and V only where every cell has them (pictures in
// 4:0:0 have none).
std::array<bool, Comparison::planes> comparedPlanes(const QList<const CellFigures *> sides[2], const YuvWeights &weights)
{
    QList<bool> chroma;
    for (int side = 0; side < 2; ++side)
        for (const CellFigures *cell : sides[side])
            chroma << (psnrKnown(cell->psnrU) && psnrKnown(cell->psnrV));
    return BdRate::comparedPlanes(chroma, weights);
}

QString configurationName(const ExperimentPlan &plan, int configuration)
{
    return plan.configurations().at(configuration).name;
}

// "QP27 test", as a cell stands in the row of its sequence.
QString cellName(const ExperimentPlan &plan, const CellFigures &cell)
{
    return QStringLiteral("QP%1 %2").arg(cell.qp).arg(configurationName(plan, cell.configuration));
}

// "QP22 a, QP27 a and QP32 b"; past four cells, how many more. Only the cells named are
// put in words: a large plan has hundreds of cells missing per sequence.
QString listed(const ExperimentPlan &plan, const QList<const CellFigures *> &cells)
{
    constexpr int named = 4;
    QStringList names;
    for (qsizetype i = 0; i < cells.size() && i < named; ++i)
        names << cellName(plan, *cells.at(i));
    if (cells.size() > named)
        names << QStringLiteral("%1 more").arg(cells.size() - named);
    const QString last = names.takeLast();
    return names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QString pointText(const CellFigures &cell, int plane)
{
    return QStringLiteral("QP%1 (%2 kbit/s, %3 dB)")
        .arg(cell.qp).arg(cell.kbitPerSecond, 0, 'f', 1).arg(psnrOf(cell, plane), 0, 'f', 2);
}

} // namespace

ResultsTable ResultsTable::of(const ExperimentPlan &plan, const QList<CellFigures> &cells, int reference)
{
    return of(plan, [&cells](int index) -> const CellFigures & { return cells.at(index); }, reference);
}

ResultsTable ResultsTable::of(const ExperimentPlan &plan, const CellAt &cell, int reference)
{
    ResultsTable table;
    table.reference = reference;
    table.weights = plan.yuvWeights();
    if (reference < 0 || reference >= plan.configurations().size())
        return table;
    QStringList classes;
    for (const PlanSequence &sequence : plan.sequences())
        if (!sequence.className.isEmpty() && !classes.contains(sequence.className))
            classes << sequence.className;
    for (int c = 0; c < plan.configurations().size(); ++c) {
        if (c == reference)
            continue;
        table.tests << c;
        QList<Comparison> rows;
        for (int s = 0; s < plan.sequences().size(); ++s)
            rows << compare(plan, cell, s, c, reference);
        table.sequences << rows;
        for (const QString &className : std::as_const(classes)) {
            QList<Comparison> inClass;
            for (const Comparison &row : std::as_const(rows))
                if (row.className == className)
                    inClass << row;
            table.classes << average(inClass, c, className);
        }
        table.overall << average(rows, c, QString());
    }
    return table;
}

Comparison ResultsTable::compare(const ExperimentPlan &plan, const CellAt &cellAt, int sequence,
                                 int configuration, int reference)
{
    Comparison row;
    row.configuration = configuration;
    row.sequence = sequence;
    row.className = plan.sequences().at(sequence).className;
    row.sequencesTotal = 1;
    QList<const CellFigures *> sides[2];   // the reference's curve, the test's
    QList<const CellFigures *> failed, missing;
    // The two configurations' cells of the sequence, in the plan's order.
    for (int c : {qMin(reference, configuration), qMax(reference, configuration)})
        for (int q = 0; q < plan.qps().size(); ++q) {
            const CellFigures &cell = cellAt(plan.cellIndex(sequence, c, q));
            if (cell.state == CellFigures::Done)
                sides[cell.configuration == reference ? 0 : 1] << &cell;
            else
                (cell.state == CellFigures::Failed ? failed : missing) << &cell;
        }
    row.failed = int(failed.size());
    row.missing = int(missing.size());
    QStringList why;
    if (!failed.isEmpty())
        why << listed(plan, failed) + QStringLiteral(" failed");
    if (!missing.isEmpty())
        why << listed(plan, missing) + QStringLiteral(" not done yet");
    const std::array<bool, Comparison::planes> compared = comparedPlanes(sides, plan.yuvWeights());
    for (int side = 0; side < 2 && why.isEmpty(); ++side) {
        const QString problem = notRising(plan, sides[side], compared);
        if (!problem.isEmpty())
            why << problem;
    }
    // A plane that is not compared keeps no figure, and the sequence is compared by the others.
    for (int plane = 0; plane < Comparison::planes && why.isEmpty(); ++plane) {
        if (!compared[plane])
            continue;
        double percent = 0;
        QString error;
        if (BdRate::rateDifference(curveOf(sides[0], plane), curveOf(sides[1], plane), &percent, &error))
            row.bdRate[plane] = percent;
        else
            why << QStringLiteral("no BD-rate for %1: %2").arg(QLatin1String(planeNames[plane]), error);
    }
    if (why.isEmpty())
        takeTimes(plan, sides, &row);
    else
        row.unavailable = why.join(QStringLiteral("; "));
    if (!row.unavailable.isEmpty()) {
        // All of its figures or none.
        for (std::optional<double> &figure : row.bdRate)
            figure.reset();
        return row;
    }
    row.sequences = 1;
    return row;
}

// Where a configuration's curve has a PSNR that does not rise with its rate, in words: the BD
// figures interpolate each over the other, so both must rise together.
QString ResultsTable::notRising(const ExperimentPlan &plan, const QList<const CellFigures *> &curve,
                                const std::array<bool, Comparison::planes> &compared)
{
    for (int plane = 0; plane < Comparison::planes && !curve.isEmpty(); ++plane) {
        if (!compared[plane])
            continue;
        const BdRate::PointPair pair = BdRate::notRising(curveOf(curve, plane));
        if (!pair.found())
            continue;
        return QStringLiteral("%1's PSNR-%2 does not rise with its rate between %3 and %4")
            .arg(configurationName(plan, curve.first()->configuration), QLatin1String(planeNames[plane]),
                 pointText(*curve.at(pair.lower), plane), pointText(*curve.at(pair.higher), plane));
    }
    return QString();
}

// The time ratios, summed over the QPs; a ratio whose times add up to nothing has no meaning,
// and leaves the sequence out.
void ResultsTable::takeTimes(const ExperimentPlan &plan, const QList<const CellFigures *> sides[2], Comparison *row)
{
    double encoding[2] = {0, 0}, decoding[2] = {0, 0};
    bool allDecoded = true;
    for (int side = 0; side < 2; ++side)
        for (const CellFigures *cell : sides[side]) {
            encoding[side] += cell->encoderSeconds;
            allDecoded = allDecoded && cell->decoderSeconds.has_value();
            decoding[side] += cell->decoderSeconds.value_or(0);
        }
    for (int side = 0; side < 2; ++side) {
        const QString name = configurationName(plan, sides[side].first()->configuration);
        if (!(encoding[side] > 0))
            row->unavailable = QStringLiteral("no EncT: the encoders of %1 took no CPU time").arg(name);
        else if (allDecoded && !(decoding[side] > 0))
            row->unavailable = QStringLiteral("no DecT: the decoders of %1 took no CPU time").arg(name);
        if (!row->unavailable.isEmpty())
            return;
    }
    row->encT = encoding[1] / encoding[0];
    if (allDecoded)
        row->decT = decoding[1] / decoding[0];
}

Comparison ResultsTable::average(const QList<Comparison> &rows, int configuration, const QString &className)
{
    Comparison mean;
    mean.configuration = configuration;
    mean.className = className;
    mean.sequencesTotal = int(rows.size());
    double bdSum[Comparison::planes] = {0, 0, 0, 0};
    bool everyRow[Comparison::planes] = {true, true, true, true};   // a plane's mean stands for every sequence
    double logSum[2] = {0, 0};
    int decoded = 0;
    for (const Comparison &row : rows) {
        mean.missing += row.missing;
        mean.failed += row.failed;
        if (!row.comparable())
            continue;
        ++mean.sequences;
        for (int plane = 0; plane < Comparison::planes; ++plane) {
            everyRow[plane] = everyRow[plane] && row.bdRate[plane].has_value();
            bdSum[plane] += row.bdRate[plane].value_or(0);
        }
        logSum[0] += std::log(*row.encT);
        if (row.decT) {
            logSum[1] += std::log(*row.decT);
            ++decoded;
        }
    }
    if (mean.sequences == 0)
        return mean;
    for (int plane = 0; plane < Comparison::planes; ++plane)
        if (everyRow[plane])
            mean.bdRate[plane] = bdSum[plane] / mean.sequences;
    mean.encT = std::exp(logSum[0] / mean.sequences);
    // Both configurations decode every cell or none: a DecT for every sequence or for none.
    if (decoded == mean.sequences)
        mean.decT = std::exp(logSum[1] / decoded);
    return mean;
}
