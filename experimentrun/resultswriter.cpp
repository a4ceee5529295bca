#include "resultswriter.h"

#include "experiment/experimentplan.h"
#include "experiment/resultsfiles.h"
#include "parts/partclaim.h"

#include <QTimer>

namespace {

// How soon a write held up by another process's is tried again.
constexpr int retryMs = 200;

} // namespace

ResultsWriter::ResultsWriter(const ExperimentPlan &plan, QObject *parent)
    : QObject(parent)
    , plan(plan)
{
    retry = new QTimer(this);
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &ResultsWriter::tryWrite);
}

void ResultsWriter::request()
{
    wanted = true;
    if (!retry->isActive())
        tryWrite();
}

void ResultsWriter::tryWrite()
{
    if (!wanted)
        return;
    PartClaim claim(plan.folder() + QStringLiteral("/results.claim"));
    if (!claim.tryTake()) {
        if (!claim.error().isEmpty()) {
            wanted = false;
            emit written(claim.error());
            return;
        }
        retry->start(retryMs);
        return;
    }
    wanted = false;
    last = ExperimentResults::gather(plan);
    const QString problem = ResultsFiles::write(plan, last);
    claim.release();
    emit written(problem);
}
