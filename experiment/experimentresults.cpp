#include "experimentresults.h"

#include "cellrecord.h"
#include "experimentplan.h"

namespace {

CellFigures cellOnDisk(const ExperimentPlan &plan, int sequence, int configuration,
                       const CellSources::OfCell &expected)
{
    const int qp = expected.sources.qp;
    const CellFiles files = CellFiles::of(plan, sequence, configuration, qp);
    const CellStanding standing = expected.problem.isEmpty()
        ? CellStanding::of(files, expected.sources, plan.configurations().at(configuration).decoder)
        : CellStanding();
    CellFigures cell = ExperimentResults::figuresOf(plan, sequence, configuration, qp, standing);
    const CellFiles made = standing.madeBefore ? files.madeBefore() : files;
    cell.bitstream = made.bitstream;
    cell.log = made.log;
    return cell;
}

} // namespace

CellFigures ExperimentResults::figuresOf(const ExperimentPlan &plan, int sequence, int configuration, int qp,
                                         const CellStanding &standing)
{
    CellFigures cell;
    cell.sequence = sequence;
    cell.configuration = configuration;
    cell.qp = qp;
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
    cell.psnrYuv = plan.yuvWeights().psnr(cell.psnrY, cell.psnrU, cell.psnrV);
    cell.encoderSeconds = record.encoderCpuSeconds;
    if (record.decoded)
        cell.decoderSeconds = record.decoderCpuSeconds;
    cell.hash = record.hashText();
    return cell;
}

ExperimentResults ExperimentResults::gather(const ExperimentPlan &plan)
{
    ExperimentResults results;
    const QList<CellSources::OfCell> sources = CellSources::ofEveryCell(plan);
    for (int index = 0; index < plan.cellCount(); ++index) {
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        results.cells << cellOnDisk(plan, place.sequence, place.configuration, sources.at(index));
        results.done += results.cells.last().state == CellFigures::Done ? 1 : 0;
        results.failed += results.cells.last().state == CellFigures::Failed ? 1 : 0;
    }
    results.total = int(results.cells.size());
    results.table = results.against(plan, plan.anchorIndex());
    return results;
}

ResultsTable ExperimentResults::against(const ExperimentPlan &plan, int reference) const
{
    return ResultsTable::of(plan, cells, reference);
}

const CellFigures &ExperimentResults::cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const
{
    return cells.at(plan.cellIndex(sequence, configuration, qpIndex));
}
