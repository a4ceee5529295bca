#include "experimentresults.h"

#include "cellrecord.h"
#include "experimentplan.h"

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
    cell.psnrYuv = plan.yuvWeights().psnr(cell.psnrY, cell.psnrU, cell.psnrV);
    cell.encoderSeconds = record.encoderCpuSeconds;
    if (record.decoded)
        cell.decoderSeconds = record.decoderCpuSeconds;
    cell.hash = record.hashText();
    return cell;
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
    results.table = results.against(plan, plan.anchorIndex());
    return results;
}

ResultsTable ExperimentResults::against(const ExperimentPlan &plan, int reference) const
{
    return ResultsTable::of(plan, cells, reference);
}

const CellFigures &ExperimentResults::cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const
{
    const int perSequence = int(plan.configurations().size() * plan.qps().size());
    return cells.at(sequence * perSequence + configuration * int(plan.qps().size()) + qpIndex);
}
