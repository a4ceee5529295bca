#include "cellreader.h"

#include "sequencelength.h"

#include "experiment/experimentplan.h"
#include "experiment/experimentresults.h"
#include "parts/partsfolder.h"

#include <algorithm>
#include <iterator>

namespace {

QString fileName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString duration(qint64 seconds)
{
    return seconds < 120 ? QStringLiteral("%1 s").arg(seconds) : QStringLiteral("%1 min").arg(seconds / 60);
}

// How long a claim has gone unrefreshed, in whole minutes once it is long, so that a look does not
// change it every second.
qint64 toldSilence(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return seconds >= 120 ? seconds - seconds % 60 : seconds;
}

CellFiles filesOf(const ExperimentPlan &plan, int index)
{
    const ExperimentPlan::CellPlace place = plan.cellAt(index);
    return CellFiles::of(plan, place.sequence, place.configuration, plan.qps().at(place.qpIndex));
}

} // namespace

struct CellReader::Detail
{
    // The record, report and bitstream, then the same in the folder of cells made before.
    PathStamp stamps[6];
    CellStanding::Kind standing = CellStanding::None;
    QString reason;                 // why it is to be made again
    PartClaim::Sight sight;
    qint64 silentSeconds = 0;       // its claim unrefreshed for the timeout: for how long, as told
    qint64 pictures = -2;           // the cell's pictures (-1: unknown; -2: not asked yet)
    std::unique_ptr<CellProgress> progress;
    CellState shown;
};

CellReader::CellReader(int index)
    : cellIndex(index)
{
}

CellReader::CellReader(CellReader &&) noexcept = default;
CellReader &CellReader::operator=(CellReader &&) noexcept = default;
CellReader::~CellReader() = default;

CellState CellReader::state(const ExperimentPlan &plan, const Expected &expected) const
{
    if (detail)
        return detail->shown;
    CellState cell = CellState::at(plan, cellIndex);
    cell.note = expected.problem;
    return cell;
}

bool CellReader::look(const ExperimentPlan &plan, const Expected &expected, const QSet<QString> *names,
                      const QSet<QString> *madeNames, SequenceLength &lengths)
{
    bool changed = false;
    if (names || madeNames) {
        const bool before[4] = {hasRecord, hasMadeRecord, hasClaim, hasParts};
        // The cell's names are worked out only where there is a name to find.
        const bool anyName = (names && !names->isEmpty()) || (madeNames && !madeNames->isEmpty());
        const CellFiles files = anyName ? filesOf(plan, cellIndex) : CellFiles();
        if (names) {
            hasRecord = anyName && names->contains(fileName(files.record));
            hasClaim = anyName && names->contains(fileName(files.claim));
            hasParts = anyName && names->contains(PartsFolder::nameFor(fileName(files.bitstream)));
        }
        if (madeNames)
            hasMadeRecord = anyName && !files.made.isEmpty()
                            && madeNames->contains(fileName(CellFiles::at(files.made).record));
        const bool after[4] = {hasRecord, hasMadeRecord, hasClaim, hasParts};
        changed = !std::equal(std::begin(before), std::end(before), std::begin(after));
        if (!detail && (hasRecord || hasMadeRecord || hasClaim || hasParts)) {
            detail = std::make_unique<Detail>();
            detail->shown = CellState::at(plan, cellIndex);
        }
        if (detail)
            changed = lookStanding(plan, expected) || changed;
        else
            changed = changed || expectationChanged;   // its note may say why it cannot be made
        expectationChanged = false;
    }
    if (!detail)
        return changed;
    if (!hasRecord && !hasMadeRecord && !hasClaim && !hasParts) {
        // Every file has gone: the cell is its index again.
        detail.reset();
        return true;
    }
    if (hasClaim || hasParts) {
        const CellFiles files = filesOf(plan, cellIndex);
        if (hasClaim)
            changed = lookClaim(files) || changed;
        changed = lookProgress(plan, expected, files, lengths) || changed;
    }
    if (changed)
        compose(expected);
    return changed;
}

bool CellReader::lookStanding(const ExperimentPlan &plan, const Expected &expected)
{
    Detail &d = *detail;
    const CellFiles files = filesOf(plan, cellIndex);
    PathStamp now[6];
    if (hasRecord) {
        now[0] = PathStamp::of(files.record);
        now[1] = PathStamp::of(files.report);
        now[2] = PathStamp::of(files.bitstream);
    }
    if (hasMadeRecord) {
        const CellFiles made = CellFiles::at(files.made);
        now[3] = PathStamp::of(made.record);
        now[4] = PathStamp::of(made.report);
        now[5] = PathStamp::of(made.bitstream);
    }
    if (!expectationChanged && std::equal(std::begin(now), std::end(now), std::begin(d.stamps)))
        return false;
    std::copy(std::begin(now), std::end(now), std::begin(d.stamps));
    const ExperimentPlan::CellPlace place = plan.cellAt(cellIndex);
    CellStanding standing;
    if ((hasRecord || hasMadeRecord) && expected.problem.isEmpty()) {
        CellSources sources = expected.sources;
        sources.qp = plan.qps().at(place.qpIndex);
        standing = CellStanding::of(files, sources, plan.configurations().at(place.configuration).decoder);
    }
    d.standing = standing.kind;
    d.reason = standing.reason;
    d.shown.madeBefore = standing.madeBefore;
    d.shown.figures = ExperimentResults::figuresOf(plan, place.sequence, place.configuration,
                                                   plan.qps().at(place.qpIndex), standing);
    return true;
}

// Whether its holder lives is PartClaim's answer, the one the runner and a job's scheduler get.
bool CellReader::lookClaim(const CellFiles &files)
{
    Detail &d = *detail;
    const PartClaim::Sight before = d.sight;
    const qint64 silentBefore = d.silentSeconds;
    d.sight = PartClaim::observe(files.claim);
    d.silentSeconds = d.sight.state == PartClaim::Sight::Silent ? toldSilence(d.sight.silentMs) : 0;
    return d.sight.state != before.state || d.sight.holder.nonce != before.holder.nonce
        || d.silentSeconds != silentBefore;
}

bool CellReader::lookProgress(const ExperimentPlan &plan, const Expected &expected, const CellFiles &files,
                              SequenceLength &lengths)
{
    Detail &d = *detail;
    if (!d.progress)
        d.progress = std::make_unique<CellProgress>(files.log, files.bitstream);
    if (d.pictures == -2 && expected.problem.isEmpty())
        d.pictures = lengths.pictures(plan.cellAt(cellIndex).sequence, expected.sources.configuration);
    return d.progress->look(d.pictures);
}

// What the cell's files say, in the order that decides: a live claim makes it running whatever
// its record says (a failed cell tried again, a cell being decoded), a fitting record done or
// failed, anything else waiting.
void CellReader::compose(const Expected &expected)
{
    Detail &d = *detail;
    CellState &shown = d.shown;
    const bool live = hasClaim && d.sight.held();
    const CellProgress::Figures far = d.progress ? d.progress->figures() : CellProgress::Figures();
    shown.holder = live ? d.sight.holder.describe() : QString();
    shown.hosts = far.hosts;
    if (live && !shown.hosts.contains(d.sight.holder.host))
        shown.hosts.prepend(d.sight.holder.host);
    shown.picturesDone = far.picturesDone;
    shown.picturesTotal = far.picturesTotal;
    shown.segmentsDone = far.segmentsDone;
    shown.segmentsTotal = far.segmentsTotal;
    if (live) {
        shown.kind = CellState::Running;
        shown.note = d.standing == CellStanding::NeedsDecode ? QStringLiteral("decoding") : QStringLiteral("encoding");
    } else if (d.standing == CellStanding::Done) {
        shown.kind = CellState::Done;
        shown.note.clear();
    } else if (d.standing == CellStanding::Failed) {
        shown.kind = CellState::Failed;
        shown.note = shown.figures.failure;
    } else {
        shown.kind = CellState::Waiting;
        shown.note = waitingNote(expected);
    }
}

QString CellReader::waitingNote(const Expected &expected) const
{
    const Detail &d = *detail;
    if (!expected.problem.isEmpty())
        return expected.problem;
    if (hasClaim && d.sight.state == PartClaim::Sight::Ended)
        return QStringLiteral("its holder %1 has ended; the next run takes it over").arg(d.sight.holder.describe());
    if (hasClaim && d.sight.state == PartClaim::Sight::Silent)
        return QStringLiteral("its holder %1 has been silent for %2")
            .arg(d.sight.holder.describe(), duration(d.silentSeconds));
    switch (d.standing) {
    case CellStanding::NeedsDecode:
        return QStringLiteral("encoded, to be decoded");
    case CellStanding::Stale:
        return QStringLiteral("to be encoded again: %1").arg(d.reason);
    default:
        return hasParts ? QStringLiteral("segments begun") : QString();
    }
}
