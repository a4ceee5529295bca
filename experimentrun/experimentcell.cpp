#include "experimentcell.h"

#include "cellrun.h"
#include "decoderrun.h"

#include "experiment/experimentplan.h"
#include "files/replacefile.h"
#include "parts/partsfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

ExperimentCell::ExperimentCell(const ExperimentPlan &plan, int sequence, int configuration,
                               const CellSources::OfCell &sources)
    : sequenceIndex(sequence)
    , configurationIndex(configuration)
    , qpValue(sources.sources.qp)
    , cellFiles(CellFiles::of(plan, sequence, configuration, sources.sources.qp))
    , unusableSources(sources.problem)
    , cellSources(sources.sources)
    , decoderPath(plan.configurations().at(configuration).decoder)
    , ownClaim(std::make_unique<PartClaim>(cellFiles.claim))
{
}

ExperimentCell::~ExperimentCell()
{
    delete job;
    delete decoding;
}

CellStanding ExperimentCell::standing() const
{
    return CellStanding::of(cellFiles, cellSources, decoderPath);
}

bool ExperimentCell::settle(const CellStanding &standing, qint64 roundStartMs)
{
    if (standing.kind == CellStanding::Done) {
        now = Done;
        recordRead(standing);
        return false;
    }
    if (standing.kind == CellStanding::Failed
        && QFileInfo(cellFiles.record).lastModified().toMSecsSinceEpoch() >= roundStartMs) {
        now = Failed;
        recordRead(standing);
        return false;
    }
    return true;
}

bool ExperimentCell::heldByAnyone() const
{
    return PartClaim::observe(cellFiles.claim).held();
}

bool ExperimentCell::heldByOther() const
{
    const PartClaim::Sight sight = PartClaim::observe(cellFiles.claim);
    if (!sight.held())
        return false;
    const PartClaim::Holder me = PartClaim::self();
    return sight.holder.host != me.host || sight.holder.pid != me.pid;
}

QString ExperimentCell::holderHost() const
{
    const PartClaim::Sight sight = PartClaim::observe(cellFiles.claim);
    return sight.held() ? sight.holder.host : QString();
}

PartsFolder ExperimentCell::parts() const
{
    return PartsFolder(cellFiles.bitstream);
}

bool ExperimentCell::mayHelp() const
{
    if (now != Open || job || cannotHelp || !notExact.isEmpty() || !unusableSources.isEmpty() || !heldByOther()
        || !parts().exists())
        return false;
    // Only a job of the same settings may join: the configuration it got is the one here.
    QFile config(cellFiles.config);
    return config.open(QIODevice::ReadOnly) && config.readAll() == cellSources.configuration;
}

QString ExperimentCell::writeConfiguration() const
{
    QFile current(cellFiles.config);
    if (current.open(QIODevice::ReadOnly) && current.readAll() == cellSources.configuration)
        return QString();
    const QString problem = ReplaceFile::writeWhole(cellFiles.config, cellSources.configuration);
    return problem.isEmpty() ? problem
                             : QStringLiteral("cannot write its configuration %1: %2")
                                   .arg(QDir::toNativeSeparators(cellFiles.config), problem);
}

int ExperimentCell::encoders() const
{
    return (job ? job->encoders() : 0) + (decoding ? 1 : 0);
}

PartClaim *ExperimentCell::heldClaim()
{
    return now == Owned && ownClaim->held() ? ownClaim.get() : nullptr;
}

PartClaim::Take ExperimentCell::own(const std::function<bool()> &finishedMeanwhile)
{
    const PartClaim::Take take = ownClaim->take(finishedMeanwhile);
    if (take == PartClaim::Taken)
        now = Owned;
    return take;
}

void ExperimentCell::started(CellRun *run, bool helping)
{
    job = run;
    helps = helping;
    waits = false;
}

void ExperimentCell::started(DecoderRun *decoder)
{
    decoding = decoder;
    waits = false;
}

bool ExperimentCell::runEnded()
{
    job->deleteLater();
    job = nullptr;
    const bool helped = helps;
    helps = false;
    return helped;
}

void ExperimentCell::decoderEnded()
{
    decoding->deleteLater();
    decoding = nullptr;
}

void ExperimentCell::awaitOthers()
{
    waits = true;
    recordAwaited.invalidate();
}

bool ExperimentCell::recordOverdue(bool partsThere, qint64 graceMs)
{
    if (partsThere) {
        recordAwaited.invalidate();
        return false;
    }
    if (!recordAwaited.isValid()) {
        recordAwaited.start();
        return false;
    }
    return recordAwaited.elapsed() > graceMs;
}

void ExperimentCell::finish(Phase settled)
{
    release();
    now = settled;
}

void ExperimentCell::release()
{
    ownClaim->release();
    if (now == Owned)
        now = Open;
    waits = false;
}

void ExperimentCell::lose()
{
    // A job helping with another process's segments holds no claim of the cell's: it goes on.
    if (job && !helps) {
        job->abort();
        delete job;
        job = nullptr;
    }
    if (decoding) {
        decoding->abort();
        delete decoding;
        decoding = nullptr;
    }
    now = Open;
    waits = false;
}

void ExperimentCell::stop()
{
    if (job)
        job->stop();
    if (decoding)
        decoding->stop();
    if (waits)
        release();
}
