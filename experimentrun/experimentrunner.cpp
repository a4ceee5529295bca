#include "experimentrunner.h"

#include "experimentcell.h"
#include "resultswriter.h"

#include "encoderrun/seamsupport.h"
#include "experiment/cellcheck.h"
#include "experiment/experimentfolder.h"
#include "experiment/experimentplan.h"
#include "experiment/resultsfiles.h"
#include "jobtypes/jobmessages.h"
#include "parts/claimkeeper.h"
#include "parts/holderwatch.h"
#include "parts/partclaim.h"
#include "parts/partsfolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {

// How often cells that wait on other processes, and the claims of others, are looked at; and
// how often, once no cell is left to start here, the claims of the cells others still hold.
constexpr int watchIntervalMs = 1000;
constexpr int endWatchIntervalMs = 250;

// A cell whose bitstream another process made, yet whose record does not follow within this
// long, was left by a process that ended in between: it is encoded again.
qint64 recordGraceMs()
{
    return qint64(PartClaim::timeoutSeconds()) * 1000;
}

} // namespace

ExperimentRunner::ExperimentRunner(const ExperimentPlan &plan, int encoders, QObject *parent)
    : QObject(parent)
    , plan(plan)
    , encoders(qMax(1, encoders))
{
    qRegisterMetaType<ExperimentRunner::Event>();
    writer = new ResultsWriter(plan, this);
    const QList<CellSources::OfCell> sources = CellSources::ofEveryCell(plan);
    for (int index = 0; index < plan.cellCount(); ++index) {
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        cells.push_back(std::make_unique<ExperimentCell>(plan, place.sequence, place.configuration, sources.at(index)));
    }
    // Started sequence by sequence, and within one the lowest QPs first: they take longest, so
    // that the short ones are left for the end.
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int q = 0; q < plan.qps().size(); ++q)
            for (int c = 0; c < plan.configurations().size(); ++c)
                order.push_back(plan.cellIndex(s, c, q));
}

ExperimentRunner::~ExperimentRunner() = default;

QString ExperimentRunner::label(int index) const
{
    const ExperimentCell &cell = *cells[size_t(index)];
    return ResultsFiles::cellLabel(plan, cell.sequence(), cell.configuration(), cell.qp());
}

bool ExperimentRunner::start(QString *problem)
{
    *problem = ExperimentFolder::take(plan, true);
    if (!problem->isEmpty())
        return false;
    for (const PlanConfiguration &configuration : plan.configurations()) {
        const QString folder = plan.folder() + QLatin1Char('/') + configuration.name;
        if (!QDir().mkpath(folder) || !QFileInfo(folder).isWritable()) {
            *problem = QStringLiteral("cannot make or write the folder %1").arg(QDir::toNativeSeparators(folder));
            return false;
        }
    }
    started = true;
    clock.start();
    startedMs = QDateTime::currentMSecsSinceEpoch();
    writer->begin();
    connect(writer, &ResultsWriter::written, this, [this](const QString &problem) {
        if (!problem.isEmpty())
            writeFailed(problem);
        if (finishing && !writer->pending() && !ended) {
            ended = true;
            emit finished();
        }
    });
    keeper = new ClaimKeeper([this] { return claimsHeld(); }, this);
    connect(keeper, &ClaimKeeper::lost, this, &ExperimentRunner::claimLost);
    keeper->start();
    holderWatch = new HolderWatch(watchIntervalMs, endWatchIntervalMs, this);
    connect(holderWatch, &HolderWatch::message, this, [this](const QString &line) { note(-1, line); });
    connect(holderWatch, &HolderWatch::lookAgain, this, &ExperimentRunner::watch);
    holderWatch->lookAgainLater();
    int digested = 0, undigestedBefore = 0;
    for (const auto &cell : cells) {
        const CellStanding standing = cell->standing();
        cell->settle(standing, startedMs);
        if (standing.kind != CellStanding::Done || !standing.digestsDue)
            continue;
        if (standing.madeBefore)
            ++undigestedBefore;
        else if (digestAsTheyAre(*cell))
            ++digested;
    }
    if (digested > 0)
        note(-1, QStringLiteral("%1 done cell%2 had no digests of %3 files as they are (a record of an earlier "
                                "version, or a cell copied or moved): %3 files are digested as they are, and "
                                "checked against that from now on.")
                     .arg(digested).arg(digested == 1 ? "" : "s").arg(digested == 1 ? "its" : "their"));
    if (undigestedBefore > 0)
        note(-1, QStringLiteral("%1 cell%2 made before in another plan's folder hold%3 no digests of %4 files (a "
                                "record of an earlier version): taken as they are; run that plan once to have "
                                "them digested.")
                     .arg(undigestedBefore).arg(undigestedBefore == 1 ? "" : "s")
                     .arg(undigestedBefore == 1 ? "s" : "").arg(undigestedBefore == 1 ? "its" : "their"));
    settledAtStart = doneCount() + failedCount();
    QTimer::singleShot(0, this, &ExperimentRunner::schedule);
    return true;
}

// A done cell whose record holds no digests of its files as they are gets them, under its
// claim. A record of an earlier version is digested as it is, since its cell passed every check
// that version made and its encoding may have taken days; from now on an edit is caught. Files
// copied or moved since their digests were taken, with the same contents, get their new stamps,
// so that they are not read again on every look. Whether it did.
bool ExperimentRunner::digestAsTheyAre(const ExperimentCell &cell)
{
    PartClaim claim(cell.files().claim);
    if (!claim.tryTake())
        return false;
    const CellStanding standing = cell.standing();
    if (standing.kind != CellStanding::Done || !standing.digestsDue || standing.madeBefore)
        return false;
    CellRecord record = standing.record;
    QString problem = record.takeDigests(cell.files());
    if (problem.isEmpty()) {
        record.keepFigures(standing.figures);
        problem = record.write(cell.files().record);
    }
    return problem.isEmpty();
}

void ExperimentRunner::schedule()
{
    if (!started || stopping || finishing || !unwritten.isEmpty())
        return;
    while (freeSlots() > 0 && unwritten.isEmpty()) {
        bool begun = false;
        for (auto index = order.cbegin(); index != order.cend() && !begun; ++index)
            begun = tryOwn(*index);
        if (!begun && !startHelping())
            break;
    }
    considerEnd();
}

bool ExperimentRunner::tryOwn(int index)
{
    ExperimentCell &cell = *cells[size_t(index)];
    if (cell.phase() != ExperimentCell::Open || cell.run() || !cell.settle(cell.standing(), startedMs))
        return false;
    CellStanding standing;
    const PartClaim::Take take = cell.own([&] {
        standing = cell.standing();
        return !cell.settle(standing, startedMs);
    });
    if (take == PartClaim::Unusable)
        cellFailed(index, 0, QStringLiteral("cannot claim the cell: %1").arg(cell.claim().error()), {});
    else if (take != PartClaim::Held && !cell.claim().leftBy().isEmpty())
        note(index, QStringLiteral("%1 was left by %2: it is taken over here.").arg(label(index), cell.claim().leftBy()));
    if (take != PartClaim::Taken)
        return false;
    if (standing.kind == CellStanding::NeedsDecode) {
        if (!standing.reason.isEmpty())
            note(index, QStringLiteral("%1 is decoded again: %2.").arg(label(index), standing.reason));
        startDecode(index);
        return true;
    }
    if (!standing.madeBeforeReason.isEmpty())
        note(index, QStringLiteral("%1 is encoded in %2: its cell made before in %3 is not used, as %4.")
                        .arg(label(index), QDir::toNativeSeparators(QFileInfo(cell.files().bitstream).path()),
                             QDir::toNativeSeparators(QFileInfo(cell.files().made).path()),
                             standing.madeBeforeReason));
    if (standing.kind == CellStanding::Stale)
        note(index, QStringLiteral("%1 is encoded again: %2.").arg(label(index), standing.reason));
    else if (standing.kind == CellStanding::Failed)
        note(index, QStringLiteral("%1 failed in an earlier run (%2): it is tried again.")
                        .arg(label(index), standing.record.failure));
    // The old record goes first, so that a bitstream left half made never passes for it.
    if (standing.kind != CellStanding::None)
        QFile::remove(cell.files().record);
    startEncode(index);
    return true;
}

// rejoin: the cell's parts folder was seen with work left in it; the job only joins that work,
// and leaves the cell to others should the folder be gone by the time it opens it.
void ExperimentRunner::startEncode(int index, bool rejoin)
{
    ExperimentCell &cell = *cells[size_t(index)];
    if (!cell.sourcesProblem().isEmpty()) {
        cellFailed(index, 0, cell.sourcesProblem(), {});
        return;
    }
    const QString notWritten = cell.writeConfiguration();
    if (!notWritten.isEmpty()) {
        writeFailed(notWritten);
        cellFailed(index, 0, notWritten, {});
        return;
    }
    // The last cells run in segments, so that every encoder has work to the end; so does a
    // cell whose segments a run before kept, which goes on from there. A cell is cut only where
    // its seams are exact, so that its bitstream is one piece's however many encoders run.
    // Counting to the encoders is enough: beyond that, nothing below changes.
    const int left = cellsLeftToStart(encoders) + 1;
    const bool wanted = left < encoders || rejoin || cell.parts().exists();
    const bool segments = wanted && cutsExactly(index);
    if (!segments && cell.parts().exists())
        discardParts(index);
    const int share = segments ? qMin(encoders, qMax(freeSlots(), (encoders + left - 1) / left)) : 1;
    JobSettings settings = settingsFor(cell, share, segments);
    settings.joinOnly = rejoin;
    startRun(index, settings, false,
             QStringLiteral("%1, %2 encoder%3%4").arg(label(index)).arg(share).arg(share == 1 ? "" : "s")
                 .arg(segments ? QStringLiteral(", in segments") : QString()));
    Event started;
    started.kind = Event::Started;
    started.cell = index;
    emit event(started);
}

void ExperimentRunner::startRun(int index, const JobSettings &settings, bool helping, const QString &what)
{
    ExperimentCell &cell = *cells[size_t(index)];
    auto *run = new CellRun(settings, cell.files().log, this);
    cell.started(run, helping);
    connect(run, &CellRun::finished, this, [this, index](const CellRun::Outcome &outcome) { runEnded(index, outcome); });
    run->start(QStringLiteral("%1 (process %2): %3").arg(PartClaim::self().host).arg(PartClaim::self().pid).arg(what));
}

// Whether the cell's segments join into the very bitstream of one piece: its encoder and
// configuration allow exact seams, and no seam of it failed its proof. Why a cell is not cut is
// said once for its configuration (or for the cell whose seam failed).
bool ExperimentRunner::cutsExactly(int index)
{
    const ExperimentCell &cell = *cells[size_t(index)];
    if (!cell.seamsFailure().isEmpty())
        return false;
    const SeamSupport seams = SeamSupport::of(settingsFor(cell, 1, true));
    if (seams.exact())
        return true;
    if (!toldNotCut.contains(cell.configuration())) {
        toldNotCut.insert(cell.configuration());
        QString why = seams.closedLine();
        why.replace(0, 1, why.left(1).toLower());
        note(index, QStringLiteral("The cells of %1 run in one piece each, never in segments, so that their "
                                   "bitstreams do not depend on how many encoders run: %2")
                        .arg(plan.configurations().at(cell.configuration()).name, why));
    }
    return false;
}

// The cell runs in one piece: what a job in segments kept of it goes, unless a live process
// still works in its parts folder.
void ExperimentRunner::discardParts(int index)
{
    const PartsFolder parts = cells[size_t(index)]->parts();
    for (const QString &claim : parts.otherClaims())
        if (PartClaim(claim).liveHolder().valid())
            return;
    parts.remove();
}

JobSettings ExperimentRunner::settingsFor(const ExperimentCell &cell, int share, bool segments) const
{
    const PlanSequence &sequence = plan.sequences().at(cell.sequence());
    JobSettings settings;
    settings.input = sequence.path;
    settings.config = cell.files().config;
    settings.encoder = plan.configurations().at(cell.configuration()).encoder;
    settings.output = cell.files().bitstream;
    settings.rawWidth = sequence.rawWidth;
    settings.rawHeight = sequence.rawHeight;
    settings.rawFps = sequence.fps;
    settings.pictureLimit = sequence.frames > 0 ? sequence.frames : -1;
    settings.parallelEncoders = share;
    settings.inSegments = segments;
    settings.exactSeamsOnly = true;
    settings.qp = cell.qp();
    settings.encoderErrors = QFileInfo(cell.files().log).absoluteFilePath();
    return settings;
}

// Encoders free and no cell left to own: a free segment of a cell another process owns, in
// segments, is encoded here by a job that joins that cell's job and claims its own segments. It
// leaves the segments others hold to them.
bool ExperimentRunner::startHelping()
{
    for (int index : order) {
        ExperimentCell &cell = *cells[size_t(index)];
        if (!cell.mayHelp() || !cell.parts().hasFreeSegment())
            continue;
        JobSettings settings = settingsFor(cell, qMax(1, freeSlots()), true);
        settings.noWait = true;
        settings.joinOnly = true;
        startRun(index, settings, true, QStringLiteral("helping with %1's segments").arg(label(index)));
        return true;
    }
    return false;
}

void ExperimentRunner::startDecode(int index)
{
    ExperimentCell &cell = *cells[size_t(index)];
    auto *decoder = new DecoderRun(cell.decoderProgram(), cell.files().bitstream, cell.files().log, this);
    cell.started(decoder);
    connect(decoder, &DecoderRun::finished, this, [this, index](const DecoderOutcome &outcome) {
        decoded(index, outcome);
    });
    decoder->start();
}

void ExperimentRunner::runEnded(int index, const CellRun::Outcome &outcome)
{
    ExperimentCell &cell = *cells[size_t(index)];
    const bool helping = cell.runEnded();
    if (outcome.kind == CellRun::Outcome::Made) {
        // Kept even when a stop came meanwhile: the cell is finished.
        encoded(index, outcome.result, helping);
    } else if (helping) {
        if (outcome.kind == CellRun::Outcome::Failed || outcome.kind == CellRun::Outcome::NotCut)
            cell.helpFailed();
    } else if (outcome.kind == CellRun::Outcome::Elsewhere) {
        cell.awaitOthers();
    } else if (outcome.kind == CellRun::Outcome::NotCut && !stopping) {
        note(index, QStringLiteral("%1 is encoded again in one piece: %2")
                        .arg(label(index), JobMessages::closing(outcome.reason)));
        cell.seamsFailed(outcome.reason);
        startEncode(index);
    } else if (outcome.kind == CellRun::Outcome::Failed) {
        // Its job may have ended so because another process finished the cell meanwhile.
        const CellStanding::Kind kind = cell.standing().kind;
        if (kind == CellStanding::Done || kind == CellStanding::NeedsDecode)
            cell.awaitOthers();
        else
            cellFailed(index, outcome.exitCode, outcome.reason, outcome.lastLines);
    } else {
        cell.release();
    }
    if (stopping && cell.phase() == ExperimentCell::Owned && !cell.run() && !cell.decoder())
        cell.release();
    schedule();
    considerEnd();
}

// The cell's bitstream is made here: it is checked, its report and record are written, and its
// decoder started when it has one (by its owner; a helper leaves that to the owner). A bitstream
// that does not hold the pictures its encoders were given, or a report without figures fit for a
// curve, fails the cell: the encoder exited with 0, yet the cell is not there.
void ExperimentRunner::encoded(int index, const JobResult &result, bool helping)
{
    ExperimentCell &cell = *cells[size_t(index)];
    const bool decode = !cell.decoderProgram().isEmpty();
    const CellCheck::Bitstream stream = CellCheck::inspect(cell.files().bitstream);
    CellRecord record = CellRecord::encoded(cell.sources(), cell.files().bitstream, stream.pictures,
                                            result.encoderCpuSeconds, decode);
    QString notWritten;
    if (!result.report.save(cell.files().report, &notWritten))
        notWritten = QStringLiteral("cannot write the report %1: %2").arg(QDir::toNativeSeparators(cell.files().report), notWritten);
    ReportSummary figures;
    QString failure = notWritten.isEmpty() ? CellCheck::madeProblem(stream, result.pictures) : QString();
    if (notWritten.isEmpty() && failure.isEmpty())
        failure = CellCheck::reportProblem(cell.files().report, stream.pictures, record.bitstreamBytes, &figures);
    if (notWritten.isEmpty() && failure.isEmpty())
        failure = record.takeDigests(cell.files());
    if (notWritten.isEmpty() && failure.isEmpty()) {
        record.keepFigures(figures);
        notWritten = record.write(cell.files().record);
    }
    if (helping) {
        if (!notWritten.isEmpty() || !failure.isEmpty())
            note(index, QStringLiteral("%1: %2.").arg(label(index), notWritten.isEmpty() ? failure : notWritten));
        if (!notWritten.isEmpty())
            writeFailed(notWritten);
        return;
    }
    if (!notWritten.isEmpty() || !failure.isEmpty()) {
        if (!notWritten.isEmpty())
            writeFailed(notWritten);
        record.fail(0, notWritten.isEmpty() ? failure : notWritten, {});
        cellFailed(index, record);
    } else if (!decode) {
        cellDone(index);
    } else if (!stopping) {
        startDecode(index);
    } else {
        cell.release();
    }
}

void ExperimentRunner::decoded(int index, const DecoderOutcome &outcome)
{
    ExperimentCell &cell = *cells[size_t(index)];
    cell.decoderEnded();
    if (stopping && !outcome.ran) {
        cell.release();
        considerEnd();
        return;
    }
    CellRecord record;
    QString problem;
    if (!CellRecord::read(cell.files().record, &record, &problem)) {
        record.sources = cell.sources();
        record.fail(0, problem.isEmpty() ? QStringLiteral("its record went missing") : problem, {});
    } else {
        const CellCheck::Bitstream stream = CellCheck::inspect(cell.files().bitstream);
        const qint64 pictures = record.pictures >= 0 ? record.pictures : stream.pictures;
        if (record.takeDecode(outcome, FileStamp::of(cell.decoderProgram()), pictures, stream.hashes).isEmpty()) {
            const QString notWritten = record.write(cell.files().record);
            if (notWritten.isEmpty()) {
                cellDone(index);
            } else {
                writeFailed(notWritten);
                record.fail(0, notWritten, {});
            }
        }
    }
    if (record.state == CellRecord::Failed)
        cellFailed(index, record);
    schedule();
}

// Its figures as its report and record on disk hold them: the same for a cell made here, by
// another process, or by a process before this one.
void ExperimentRunner::cellDone(int index)
{
    ExperimentCell &cell = *cells[size_t(index)];
    cell.finish(ExperimentCell::Done);
    const CellStanding standing = cell.standing();
    cell.recordRead(standing);
    Event done;
    done.kind = Event::Done;
    done.cell = index;
    done.kbitPerSecond = standing.figures.kbitPerSecond;
    done.psnrY = standing.figures.psnrY;
    done.encoderSeconds = standing.record.encoderCpuSeconds;
    emit event(done);
    sequenceMayBeComplete(cell.sequence());
}

void ExperimentRunner::cellFailed(int index, const CellRecord &record)
{
    ExperimentCell &cell = *cells[size_t(index)];
    const QString problem = record.write(cell.files().record);
    cell.finish(ExperimentCell::Failed);
    cell.recordRead(cell.standing());
    Event failed;
    failed.kind = Event::Failed;
    failed.cell = index;
    failed.text = problem.isEmpty() ? record.failure : QStringLiteral("%1 (and its record: %2)").arg(record.failure, problem);
    emit event(failed);
    if (!problem.isEmpty())
        writeFailed(problem);
    sequenceMayBeComplete(cell.sequence());
}

void ExperimentRunner::cellFailed(int index, int exitCode, const QString &reason, const QStringList &lastLines)
{
    CellRecord record;
    record.sources = cells[size_t(index)]->sources();
    record.fail(exitCode, reason, lastLines);
    cellFailed(index, record);
}

// A cell's file or a results file could not be written (a full disk, a file-size limit): no
// cell starts any more, and once the caller is done with the cell at hand the experiment stops
// as it would for a signal, keeping every cell done; it fails with the first such problem.
void ExperimentRunner::writeFailed(const QString &problem)
{
    if (!unwritten.isEmpty())
        return;
    unwritten = problem;
    note(-1, QStringLiteral("The experiment stops, keeping every cell done: %1.").arg(problem));
    QTimer::singleShot(0, this, &ExperimentRunner::stop);
}

void ExperimentRunner::sequenceMayBeComplete(int sequence)
{
    for (const auto &cell : cells)
        if (cell->sequence() == sequence && cell->phase() != ExperimentCell::Done && cell->phase() != ExperimentCell::Failed)
            return;
    writer->request();
}

// Every interval while this process has work: cells that wait on others are looked at, and
// cells whose holders have gone are taken over.
void ExperimentRunner::watch()
{
    if (stopping || finishing)
        return;
    for (int index : order)
        if (cells[size_t(index)]->waiting())
            watchWaiting(index);
    schedule();
    if (!finishing)
        holderWatch->lookAgainLater();
}

// A cell of this process whose job left its end to another process: its record is awaited,
// and the job started again should the others leave work undone.
void ExperimentRunner::watchWaiting(int index)
{
    ExperimentCell &cell = *cells[size_t(index)];
    const CellStanding standing = cell.standing();
    if (standing.kind == CellStanding::Done || standing.kind == CellStanding::NeedsDecode) {
        if (standing.kind == CellStanding::Done)
            cellDone(index);
        else
            startDecode(index);
        return;
    }
    const PartsFolder parts = cell.parts();
    if (!cell.recordOverdue(parts.exists(), recordGraceMs())) {
        if (parts.exists() && (parts.hasFreeSegment() || parts.outputUnclaimed()))
            startEncode(index, true);
        return;
    }
    note(index, QStringLiteral("%1: the process that made its bitstream left no record; it is encoded again.")
                    .arg(label(index)));
    QFile::remove(cell.files().record);
    startEncode(index);
}

QList<PartClaim *> ExperimentRunner::claimsHeld() const
{
    QList<PartClaim *> claims;
    for (const auto &cell : cells)
        if (PartClaim *claim = cell->heldClaim())
            claims << claim;
    return claims;
}

// Taken over by another process, which thought this one gone: the cell is theirs now.
void ExperimentRunner::claimLost(PartClaim *claim)
{
    for (int index : order) {
        ExperimentCell &cell = *cells[size_t(index)];
        if (&cell.claim() != claim)
            continue;
        note(index, QStringLiteral("%1 was taken over by another process; it is left to it.").arg(label(index)));
        cell.lose();
    }
}

int ExperimentRunner::freeSlots() const
{
    int busy = 0;
    for (const auto &cell : cells)
        busy += cell->encoders();
    return encoders - busy;
}

// Counted only up to atMost: each cell counted looks at its claim, and what matters is whether
// fewer are left than there are encoders. The cells before the first one left are done or held,
// so that the look does not grow with the cells done.
int ExperimentRunner::cellsLeftToStart(int atMost) const
{
    int left = 0;
    for (auto index = order.cbegin(); index != order.cend() && left < atMost; ++index) {
        const ExperimentCell &cell = *cells[size_t(*index)];
        if (cell.phase() == ExperimentCell::Open && !cell.run() && !cell.heldByAnyone())
            ++left;
    }
    return left;
}

// Nothing of this process runs: it ends when every cell is done or failed, or when it stops;
// while other processes hold cells it waits, to take over those whose holders go.
void ExperimentRunner::considerEnd()
{
    if (finishing)
        return;
    QList<PartClaim *> held;
    for (int index : order) {
        ExperimentCell &cell = *cells[size_t(index)];
        if (cell.busy())
            return;
        if (cell.phase() == ExperimentCell::Open)
            held << &cell.claimToWatch();
    }
    if (held.isEmpty() || stopping) {
        finishUp();
        return;
    }
    // A holder that has gone leaves its cell to the next look, which takes it over.
    const HolderWatch::Look look = HolderWatch::look(held);
    if (look.holderGone) {
        holderWatch->lookAgainLater();
        return;
    }
    // The results of the cells done so far are written while the others finish theirs, so that
    // the write at the end draws only the plots their last cells change.
    if (!writtenWhileWaiting) {
        writtenWhileWaiting = true;
        writer->request();
    }
    const QString who = look.holders.join(QStringLiteral(", "));
    holderWatch->waitFor(look, QStringLiteral("Waiting for the %1 cell%2 %3 hold%4: should a holder go, its cells are "
                                              "encoded here.")
                                   .arg(look.held).arg(look.held == 1 ? "" : "s")
                                   .arg(who.isEmpty() ? QStringLiteral("other processes") : who)
                                   .arg(look.holders.size() == 1 ? "s" : ""));
}

void ExperimentRunner::finishUp()
{
    finishing = true;
    keeper->stop();
    holderWatch->stop();
    for (const auto &cell : cells)
        cell->release();
    writer->request(newestRecordNs());
}

// With every cell settled, the time of change of the newest record among them: a results write
// that began gathering after it holds every cell as this process knows it. -1 where a cell is
// not settled or its record's time is not known.
qint64 ExperimentRunner::newestRecordNs() const
{
    qint64 newest = -1;
    for (const auto &cell : cells) {
        const bool settled = cell->phase() == ExperimentCell::Done || cell->phase() == ExperimentCell::Failed;
        if (!settled || cell->recordChangedNs() < 0)
            return -1;
        newest = qMax(newest, cell->recordChangedNs());
    }
    return newest;
}

void ExperimentRunner::stop()
{
    if (stopping || !started)
        return;
    stopping = true;
    for (int index : order)
        cells[size_t(index)]->stop();
    considerEnd();
}

int ExperimentRunner::cellCount() const
{
    return int(cells.size());
}

int ExperimentRunner::doneCount() const
{
    return int(std::count_if(cells.begin(), cells.end(), [](const auto &cell) { return cell->phase() == ExperimentCell::Done; }));
}

int ExperimentRunner::failedCount() const
{
    return int(std::count_if(cells.begin(), cells.end(), [](const auto &cell) { return cell->phase() == ExperimentCell::Failed; }));
}

QList<ExperimentRunner::Holder> ExperimentRunner::running() const
{
    QList<Holder> list;
    const QString me = PartClaim::self().host;
    for (int index : order) {
        const ExperimentCell &cell = *cells[size_t(index)];
        if (cell.run() || cell.decoder())
            list.append({index, me});
        else if (cell.phase() == ExperimentCell::Open && !cell.holderHost().isEmpty())
            list.append({index, cell.holderHost()});
    }
    return list;
}

double ExperimentRunner::secondsLeft() const
{
    const int settled = doneCount() + failedCount();
    const int settledHere = settled - settledAtStart;
    const double elapsed = clock.isValid() ? clock.elapsed() / 1000.0 : 0;
    if (settledHere <= 0 || elapsed <= 0)
        return -1;
    return (cellCount() - settled) * elapsed / settledHere;
}

void ExperimentRunner::note(int index, const QString &text)
{
    Event line;
    line.kind = Event::Note;
    line.cell = index;
    line.text = text;
    emit event(line);
}
