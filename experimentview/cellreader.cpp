#include "cellreader.h"

#include "sequencelength.h"

#include "experiment/experimentplan.h"

#include <QDateTime>
#include <QFileInfo>

namespace {

QString fileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QString duration(qint64 seconds)
{
    return seconds < 120 ? QStringLiteral("%1 s").arg(seconds) : QStringLiteral("%1 min").arg(seconds / 60);
}

} // namespace

CellReader::CellReader(const ExperimentPlan &plan, int index, int sequence, int configuration, int qpIndex)
    : files(CellFiles::of(plan, sequence, configuration, plan.qps().at(qpIndex)))
    , recordName(fileName(files.record))
    , claimName(fileName(files.claim))
    , partsName(fileName(files.bitstream) + QStringLiteral(".parts"))
    , decoder(plan.configurations().at(configuration).decoder)
    , weights(plan.yuvWeights())
    , progress(files.log, files.bitstream)
{
    shown.index = index;
    shown.qpIndex = qpIndex;
    shown.figures.sequence = sequence;
    shown.figures.configuration = configuration;
    shown.figures.qp = plan.qps().at(qpIndex);
    shown.figures.bitstream = files.bitstream;
    shown.figures.log = files.log;
    shown.report = files.report;
}

bool CellReader::expect(const ExperimentPlan &plan)
{
    QString problem;
    const CellSources now = CellSources::of(plan, shown.figures.sequence, shown.figures.configuration,
                                            shown.figures.qp, &problem);
    const bool same = problem == expectProblem && !expected.sequence.isEmpty() && now.changedSince(expected).isEmpty();
    expected = now;
    expectProblem = problem;
    expectationChanged = expectationChanged || !same;
    return !same;
}

bool CellReader::look(const QSet<QString> *names, SequenceLength &lengths)
{
    bool changed = false;
    if (names) {
        const bool before[3] = {hasRecord, hasClaim, hasParts};
        hasRecord = names->contains(recordName);
        hasClaim = names->contains(claimName);
        hasParts = names->contains(partsName);
        changed = before[0] != hasRecord || before[1] != hasClaim || before[2] != hasParts;
        changed = lookStanding(expectationChanged) || changed;
        expectationChanged = false;
    }
    if (hasClaim)
        changed = lookClaim() || changed;
    if (hasClaim || hasParts)
        changed = lookProgress(lengths) || changed;
    if (changed)
        compose();
    return changed;
}

bool CellReader::lookStanding(bool expectationChanged)
{
    const PathStamp record = hasRecord ? PathStamp::of(files.record) : PathStamp();
    const PathStamp report = hasRecord ? PathStamp::of(files.report) : PathStamp();
    const PathStamp bitstream = hasRecord ? PathStamp::of(files.bitstream) : PathStamp();
    if (!expectationChanged && record == recordStamp && report == reportStamp && bitstream == bitstreamStamp)
        return false;
    recordStamp = record;
    reportStamp = report;
    bitstreamStamp = bitstream;
    if (!hasRecord || !expectProblem.isEmpty()) {
        standing = CellStanding();
        standing.reason = expectProblem;
    } else {
        standing = CellStanding::of(files, expected, decoder);
    }
    return true;
}

// A claim is refreshed by touching it, so its time tells whether a holder elsewhere still
// works; a holder of this host that has ended has left it behind.
bool CellReader::lookClaim()
{
    const PathStamp stamp = PathStamp::of(files.claim);
    const bool ended = holderEnded;
    const qint64 silent = silentSeconds;
    if (stamp != claimStamp) {
        claimStamp = stamp;
        holder = PartClaim::Holder();
        PartClaim::read(files.claim, &holder);
        holderEnded = holder.valid() && holder.host == PartClaim::self().host
                      && !QFileInfo::exists(QStringLiteral("/proc/%1").arg(holder.pid));
    }
    const qint64 age = QDateTime::currentMSecsSinceEpoch() / 1000 - claimStamp.modifiedNs / 1000000000;
    silentSeconds = holder.host != PartClaim::self().host && age > PartClaim::timeoutSeconds() ? age : 0;
    // Told in whole minutes once it is long, so that a look does not change it every second.
    if (silentSeconds >= 120)
        silentSeconds -= silentSeconds % 60;
    return stamp != claimStamp || ended != holderEnded || silent != silentSeconds;
}

bool CellReader::lookProgress(SequenceLength &lengths)
{
    if (pictures == -2 && expectProblem.isEmpty())
        pictures = lengths.pictures(shown.figures.sequence, expected.configuration);
    return progress.look(pictures);
}

// What the cell's files say, in the order that decides: a live claim makes it running whatever
// its record says (a failed cell tried again, a cell being decoded), a fitting record done or
// failed, anything else waiting.
void CellReader::compose()
{
    composeFigures();
    const bool live = hasClaim && holder.valid() && !holderEnded && silentSeconds == 0;
    const CellProgress::Figures &far = progress.figures();
    shown.holder = live ? holder.describe() : QString();
    shown.hosts = far.hosts;
    if (live && !shown.hosts.contains(holder.host))
        shown.hosts.prepend(holder.host);
    shown.picturesDone = far.picturesDone;
    shown.picturesTotal = far.picturesTotal;
    shown.segmentsDone = far.segmentsDone;
    shown.segmentsTotal = far.segmentsTotal;
    if (live) {
        shown.kind = CellState::Running;
        shown.note = standing.kind == CellStanding::NeedsDecode ? QStringLiteral("decoding")
                                                                : QStringLiteral("encoding");
    } else if (standing.kind == CellStanding::Done) {
        shown.kind = CellState::Done;
        shown.note.clear();
    } else if (standing.kind == CellStanding::Failed) {
        shown.kind = CellState::Failed;
        shown.note = standing.record.failure;
    } else {
        shown.kind = CellState::Waiting;
        shown.note = waitingNote();
    }
}

void CellReader::composeFigures()
{
    CellFigures &figures = shown.figures;
    const CellRecord &record = standing.record;
    const bool done = standing.kind == CellStanding::Done;
    const bool failed = standing.kind == CellStanding::Failed;
    figures.state = done ? CellFigures::Done : failed ? CellFigures::Failed : CellFigures::Missing;
    figures.kbitPerSecond = done ? standing.figures.kbitPerSecond : 0;
    figures.psnrY = done ? standing.figures.psnrY : 0;
    figures.psnrU = done ? standing.figures.psnrU : 0;
    figures.psnrV = done ? standing.figures.psnrV : 0;
    figures.psnrYuv = done ? weights.psnr(figures.psnrY, figures.psnrU, figures.psnrV) : 0;
    figures.encoderSeconds = done ? record.encoderCpuSeconds : 0;
    figures.decoderSeconds.reset();
    if (done && record.decoded)
        figures.decoderSeconds = record.decoderCpuSeconds;
    figures.hash = done || failed ? record.hashText() : QString();
    figures.exitCode = failed ? record.exitCode : 0;
    figures.failure = failed ? record.failure : QString();
    figures.lastLines = failed ? record.lastLines : QStringList();
}

QString CellReader::waitingNote() const
{
    if (!expectProblem.isEmpty())
        return expectProblem;
    if (hasClaim && holderEnded)
        return QStringLiteral("its holder %1 has ended; the next run takes it over").arg(holder.describe());
    if (hasClaim && silentSeconds > 0)
        return QStringLiteral("its holder %1 has been silent for %2").arg(holder.describe(), duration(silentSeconds));
    switch (standing.kind) {
    case CellStanding::NeedsDecode:
        return QStringLiteral("encoded, to be decoded");
    case CellStanding::Stale:
        return QStringLiteral("to be encoded again: %1").arg(standing.reason);
    default:
        return hasParts ? QStringLiteral("segments begun") : QString();
    }
}
