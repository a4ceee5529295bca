#include "experimentresults.h"

#include "cellrecord.h"
#include "experimentplan.h"

#include <QDataStream>
#include <QDir>

#include <cstring>

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

// The first bytes of toBytes(); another version's bytes are not read.
constexpr char cellsMagic[] = "morlunex results cells 1";

ExperimentResults withTotals(const ExperimentPlan &plan, QList<CellFigures> cells)
{
    ExperimentResults results;
    results.cells = std::move(cells);
    for (const CellFigures &cell : results.cells) {
        results.done += cell.state == CellFigures::Done ? 1 : 0;
        results.failed += cell.state == CellFigures::Failed ? 1 : 0;
    }
    results.total = int(results.cells.size());
    results.table = results.against(plan, plan.anchorIndex());
    return results;
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
    QList<CellFigures> cells;
    const QList<CellSources::OfCell> sources = CellSources::ofEveryCell(plan);
    for (int index = 0; index < plan.cellCount(); ++index) {
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        cells << cellOnDisk(plan, place.sequence, place.configuration, sources.at(index));
    }
    return withTotals(plan, std::move(cells));
}

QByteArray ExperimentResults::toBytes(const ExperimentPlan &plan) const
{
    const QDir folder(plan.folder());
    const auto relative = [&folder](const QString &path) { return path.isEmpty() ? QString() : folder.relativeFilePath(path); };
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out.writeRawData(cellsMagic, sizeof cellsMagic);
    out << qint32(cells.size());
    for (const CellFigures &cell : cells)
        out << qint32(cell.sequence) << qint32(cell.configuration) << qint32(cell.qp) << qint32(cell.state)
            << cell.kbitPerSecond << cell.psnrY << cell.psnrU << cell.psnrV << cell.psnrYuv << cell.encoderSeconds
            << bool(cell.decoderSeconds) << cell.decoderSeconds.value_or(0) << cell.hash << qint32(cell.exitCode)
            << cell.failure << cell.lastLines << relative(cell.bitstream) << relative(cell.log);
    return bytes;
}

std::optional<ExperimentResults> ExperimentResults::fromBytes(const ExperimentPlan &plan, const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_4);
    char magic[sizeof cellsMagic] = {};
    qint32 count = -1;
    if (in.readRawData(magic, sizeof magic) != int(sizeof magic) || std::memcmp(magic, cellsMagic, sizeof magic) != 0)
        return std::nullopt;
    in >> count;
    if (count != plan.cellCount())
        return std::nullopt;
    const QDir folder(plan.folder());
    const auto absolute = [&folder](const QString &path) { return path.isEmpty() ? QString() : folder.absoluteFilePath(path); };
    QList<CellFigures> cells;
    cells.reserve(count);
    for (int index = 0; index < count; ++index) {
        CellFigures cell;
        qint32 sequence = 0, configuration = 0, qp = 0, state = 0, exitCode = 0;
        bool decoded = false;
        double decoderSeconds = 0;
        in >> sequence >> configuration >> qp >> state >> cell.kbitPerSecond >> cell.psnrY >> cell.psnrU >> cell.psnrV
            >> cell.psnrYuv >> cell.encoderSeconds >> decoded >> decoderSeconds >> cell.hash >> exitCode >> cell.failure
            >> cell.lastLines >> cell.bitstream >> cell.log;
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        if (in.status() != QDataStream::Ok || sequence != place.sequence || configuration != place.configuration
            || qp != plan.qps().at(place.qpIndex) || state < CellFigures::Missing || state > CellFigures::Failed)
            return std::nullopt;
        cell.sequence = sequence;
        cell.configuration = configuration;
        cell.qp = qp;
        cell.state = CellFigures::State(state);
        cell.exitCode = exitCode;
        if (decoded)
            cell.decoderSeconds = decoderSeconds;
        cell.bitstream = absolute(cell.bitstream);
        cell.log = absolute(cell.log);
        cells << cell;
    }
    if (!in.atEnd())
        return std::nullopt;
    return withTotals(plan, std::move(cells));
}

ResultsTable ExperimentResults::against(const ExperimentPlan &plan, int reference) const
{
    return ResultsTable::of(plan, cells, reference);
}

const CellFigures &ExperimentResults::cell(const ExperimentPlan &plan, int sequence, int configuration, int qpIndex) const
{
    return cells.at(plan.cellIndex(sequence, configuration, qpIndex));
}
