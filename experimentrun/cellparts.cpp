#include "cellparts.h"

#include "parts/partclaim.h"

CellParts::CellParts(const QString &bitstream)
    : parts(bitstream)
{
}

CellParts::~CellParts() = default;

PartClaim &CellParts::watched(const QString &path)
{
    std::unique_ptr<PartClaim> &claim = claims[path];
    if (!claim)
        claim = std::make_unique<PartClaim>(path);
    return *claim;
}

std::unique_ptr<PartClaim> CellParts::takeFreeSegment()
{
    JobRecord record;
    QString problem;
    if (!parts.exists() || !parts.readJob(&record, &problem))
        return nullptr;
    for (const SegmentPlan::Segment &span : record.segments) {
        PartsFolder::SegmentRecord finished;
        if (parts.finished(span.first, &finished, false))
            continue;
        // The object that watched the claim so far takes it, so that a claim of another host
        // seen unrefreshed for the timeout is taken over.
        const QString path = parts.claimPath(span.first);
        if (!watched(path).tryTake())
            continue;
        std::unique_ptr<PartClaim> claim = std::move(claims[path]);
        claims.erase(path);
        // Finished by another process between the look and the claim: released again.
        if (parts.finished(span.first, &finished, false))
            continue;
        return claim;
    }
    return nullptr;
}

bool CellParts::outputUnclaimed()
{
    JobRecord record;
    QString problem;
    if (!parts.exists() || !parts.readJob(&record, &problem) || record.segments.isEmpty())
        return false;
    for (const SegmentPlan::Segment &span : record.segments) {
        PartsFolder::SegmentRecord finished;
        if (!parts.finished(span.first, &finished, false))
            return false;
    }
    return !watched(parts.outputClaimPath()).liveHolder().valid();
}
