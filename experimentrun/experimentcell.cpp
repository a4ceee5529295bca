#include "experimentcell.h"

#include "cellparts.h"
#include "cellrun.h"
#include "decoderrun.h"

#include "experiment/experimentplan.h"
#include "files/replacefile.h"
#include "parts/partclaim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

ExperimentCell::ExperimentCell(const ExperimentPlan &plan, int sequence, int configuration, int qp)
    : sequence(sequence)
    , configuration(configuration)
    , qp(qp)
    , files(CellFiles::of(plan, sequence, configuration, qp))
    , sources(CellSources::of(plan, sequence, configuration, qp, &sourcesProblem))
    , decoderProgram(plan.configurations().at(configuration).decoder)
    , ownClaim(std::make_unique<PartClaim>(files.claim))
{
}

ExperimentCell::~ExperimentCell()
{
    delete run;
    delete decoder;
}

CellStanding ExperimentCell::standing() const
{
    return CellStanding::of(files, sources, decoderProgram);
}

bool ExperimentCell::settle(const CellStanding &now, qint64 roundStartMs)
{
    if (now.kind == CellStanding::Done) {
        phase = Done;
        return false;
    }
    if (now.kind == CellStanding::Failed && QFileInfo(files.record).lastModified().toMSecsSinceEpoch() >= roundStartMs) {
        phase = Failed;
        return false;
    }
    return true;
}

bool ExperimentCell::heldByAnyone() const
{
    return PartClaim(files.claim).liveHolder().valid();
}

bool ExperimentCell::heldByOther() const
{
    PartClaim::Holder holder;
    if (!PartClaim::read(files.claim, &holder) || !holder.valid())
        return false;
    const PartClaim::Holder me = PartClaim::self();
    return holder.host != me.host || holder.pid != me.pid;
}

QString ExperimentCell::holderHost() const
{
    PartClaim::Holder holder;
    return PartClaim::read(files.claim, &holder) && holder.valid() ? holder.host : QString();
}

bool ExperimentCell::claim()
{
    return ownClaim->tryTake();
}

void ExperimentCell::release()
{
    ownClaim->release();
    if (phase == Owned)
        phase = Open;
    waiting = false;
}

bool ExperimentCell::refresh()
{
    return ownClaim->refresh();
}

int ExperimentCell::encoders() const
{
    return (run ? run->encoders() : 0) + (decoder ? 1 : 0);
}

QString ExperimentCell::writeConfiguration() const
{
    QFile current(files.config);
    if (current.open(QIODevice::ReadOnly) && current.readAll() == sources.configuration)
        return QString();
    const QString problem = ReplaceFile::writeWhole(files.config, sources.configuration);
    return problem.isEmpty() ? problem
                             : QStringLiteral("cannot write its configuration %1: %2")
                                   .arg(QDir::toNativeSeparators(files.config), problem);
}

CellParts &ExperimentCell::parts()
{
    if (!partsView)
        partsView = std::make_unique<CellParts>(files.bitstream);
    return *partsView;
}
