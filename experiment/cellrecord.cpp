#include "cellrecord.h"

#include "cellcheck.h"
#include "decoderoutcome.h"
#include "experimentplan.h"

#include "files/jsonfile.h"
#include "parts/partclaim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iterator>
#include <utility>

#include <sys/stat.h>

namespace {

const char *stateName(CellRecord::State state)
{
    switch (state) {
    case CellRecord::Encoded:
        return "encoded";
    case CellRecord::Done:
        return "done";
    case CellRecord::Failed:
        break;
    }
    return "failed";
}

// The figures' keys in a record, each with its member.
constexpr std::pair<const char *, double CellRecord::Figures::*> figureKeys[] = {
    {"kbit_per_second", &CellRecord::Figures::kbitPerSecond},
    {"psnr_y", &CellRecord::Figures::psnrY},
    {"psnr_u", &CellRecord::Figures::psnrU},
    {"psnr_v", &CellRecord::Figures::psnrV},
};

} // namespace

CellRecord::Figures CellRecord::Figures::of(const ReportSummary &summary)
{
    return Figures{summary.kbitPerSecond, summary.psnrY, summary.psnrU, summary.psnrV};
}

void CellRecord::Figures::into(ReportSummary *summary) const
{
    summary->kbitPerSecond = kbitPerSecond;
    summary->psnrY = psnrY;
    summary->psnrU = psnrU;
    summary->psnrV = psnrV;
}

bool CellRecord::Figures::finite() const
{
    return std::all_of(std::begin(figureKeys), std::end(figureKeys),
                       [this](const auto &key) { return std::isfinite(this->*key.second); });
}

QJsonObject CellRecord::Figures::toJson() const
{
    QJsonObject object;
    for (const auto &[name, member] : figureKeys)
        object.insert(QLatin1String(name), this->*member);
    return object;
}

std::optional<CellRecord::Figures> CellRecord::Figures::fromJson(const QJsonObject &object)
{
    Figures figures;
    for (const auto &[name, member] : figureKeys) {
        const QJsonValue value = object.value(QLatin1String(name));
        if (!value.isDouble())
            return std::nullopt;
        figures.*member = value.toDouble();
    }
    return figures;
}

CellFiles CellFiles::of(const ExperimentPlan &plan, int sequence, int configuration, int qp)
{
    const PlanConfiguration &conf = plan.configurations().at(configuration);
    const QString cell = plan.sequences().at(sequence).name + QStringLiteral("_QP%1").arg(qp);
    CellFiles files = at(plan.folder() + QLatin1Char('/') + conf.name + QLatin1Char('/') + cell, conf.bitstreamSuffix);
    if (!conf.cells.isEmpty())
        files.made = conf.cells + QLatin1Char('/') + cell;
    return files;
}

CellFiles CellFiles::madeBefore() const
{
    return at(made, QFileInfo(bitstream).suffix());
}

CellFiles CellFiles::at(const QString &stem, const QString &bitstreamSuffix)
{
    CellFiles files;
    files.bitstream = stem + QLatin1Char('.') + bitstreamSuffix;
    files.report = stem + QStringLiteral(".json");
    files.record = stem + QStringLiteral(".record");
    files.claim = stem + QStringLiteral(".claim");
    files.log = stem + QStringLiteral(".log");
    files.config = stem + QStringLiteral(".cfg");
    return files;
}

namespace {

// What a pass over the plan's cells read, by path: each file once.
struct SourceReads
{
    QHash<QString, QByteArray> texts;
    QHash<QString, FileStamp> stamps;

    FileStamp stamp(const QString &path)
    {
        auto found = stamps.constFind(path);
        if (found == stamps.cend())
            found = stamps.insert(path, FileStamp::of(path));
        return *found;
    }
};

CellSources sourcesOf(const ExperimentPlan &plan, int sequence, int configuration, int qp, QString *problem,
                      SourceReads *reads)
{
    const PlanSequence &seq = plan.sequences().at(sequence);
    const PlanConfiguration &conf = plan.configurations().at(configuration);
    CellSources sources;
    const FileStamp input = reads->stamp(seq.path);
    sources.sequence = input.path;
    sources.sequenceSize = input.size;
    sources.sequenceModifiedMs = input.modifiedMs;
    sources.rawWidth = seq.rawWidth;
    sources.rawHeight = seq.rawHeight;
    sources.fps = seq.fps;
    sources.frames = seq.frames;
    sources.configuration = plan.cellConfiguration(seq, conf, problem, &sources.earlierConfiguration, &reads->texts);
    const FileStamp encoder = reads->stamp(conf.encoder);
    sources.encoder = encoder.path;
    sources.encoderSize = encoder.size;
    sources.encoderModifiedMs = encoder.modifiedMs;
    sources.qp = qp;
    return sources;
}

} // namespace

CellSources CellSources::of(const ExperimentPlan &plan, int sequence, int configuration, int qp, QString *problem)
{
    SourceReads reads;
    return sourcesOf(plan, sequence, configuration, qp, problem, &reads);
}

QList<CellSources::OfCell> CellSources::ofEveryCell(const ExperimentPlan &plan)
{
    SourceReads reads;
    QHash<QPair<int, int>, OfCell> read;
    QList<OfCell> cells;
    cells.reserve(plan.cellCount());
    for (int index = 0; index < plan.cellCount(); ++index) {
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        const int qp = plan.qps().at(place.qpIndex);
        const QPair<int, int> key(place.sequence, place.configuration);
        auto found = read.find(key);
        if (found == read.end()) {
            OfCell first;
            first.sources = sourcesOf(plan, place.sequence, place.configuration, qp, &first.problem, &reads);
            found = read.insert(key, first);
        }
        OfCell cell = *found;
        cell.sources.qp = qp;
        cells << cell;
    }
    return cells;
}

QJsonObject CellSources::toJson() const
{
    QJsonObject object{{"sequence", sequence},
                       {"sequence_size", sequenceSize},
                       {"sequence_modified_ms", sequenceModifiedMs},
                       {"frames", frames},
                       {"configuration", QString::fromUtf8(configuration)},
                       {"encoder", encoder},
                       {"encoder_size", encoderSize},
                       {"encoder_modified_ms", encoderModifiedMs},
                       {"qp", qp}};
    if (rawWidth > 0) {
        object.insert(QStringLiteral("raw_size"), QStringLiteral("%1x%2").arg(rawWidth).arg(rawHeight));
        object.insert(QStringLiteral("fps"), fps);
    }
    return object;
}

CellSources CellSources::fromJson(const QJsonObject &object)
{
    CellSources sources;
    sources.sequence = object.value(QStringLiteral("sequence")).toString();
    sources.sequenceSize = qint64(object.value(QStringLiteral("sequence_size")).toDouble());
    sources.sequenceModifiedMs = qint64(object.value(QStringLiteral("sequence_modified_ms")).toDouble());
    sources.frames = qint64(object.value(QStringLiteral("frames")).toDouble(-1));
    sources.configuration = object.value(QStringLiteral("configuration")).toString().toUtf8();
    sources.encoder = object.value(QStringLiteral("encoder")).toString();
    sources.encoderSize = qint64(object.value(QStringLiteral("encoder_size")).toDouble());
    sources.encoderModifiedMs = qint64(object.value(QStringLiteral("encoder_modified_ms")).toDouble());
    sources.qp = object.value(QStringLiteral("qp")).toInt(-1);
    const QStringList size = object.value(QStringLiteral("raw_size")).toString().split(QLatin1Char('x'));
    if (size.size() == 2) {
        sources.rawWidth = size.at(0).toInt();
        sources.rawHeight = size.at(1).toInt();
        sources.fps = object.value(QStringLiteral("fps")).toInt();
    }
    return sources;
}

QString CellSources::changedSince(const CellSources &recorded) const
{
    if (recorded.sequence.isEmpty() || recorded.encoder.isEmpty())
        return QStringLiteral("its record does not say what it was made from");
    if (sequence != recorded.sequence)
        return QStringLiteral("it was made from another file (%1)").arg(QDir::toNativeSeparators(recorded.sequence));
    if (sequenceSize != recorded.sequenceSize || sequenceModifiedMs != recorded.sequenceModifiedMs)
        return QStringLiteral("the sequence's file has changed since");
    if (rawWidth != recorded.rawWidth || rawHeight != recorded.rawHeight || fps != recorded.fps)
        return QStringLiteral("the sequence's size or rate has changed since");
    if (frames != recorded.frames)
        return QStringLiteral("the sequence's picture count has changed since");
    if (configuration != recorded.configuration
        && (earlierConfiguration.isEmpty() || earlierConfiguration != recorded.configuration))
        return QStringLiteral("the configuration's contents have changed since");
    if (encoder != recorded.encoder)
        return QStringLiteral("it was made by another encoder (%1)").arg(QDir::toNativeSeparators(recorded.encoder));
    // An encoder that is not on this machine (a view of an experiment that others run) is known
    // by its path alone.
    if (encoderModifiedMs != 0
        && (encoderSize != recorded.encoderSize || encoderModifiedMs != recorded.encoderModifiedMs))
        return QStringLiteral("the encoder program has changed since");
    if (qp != recorded.qp)
        return QStringLiteral("it was made at QP %1").arg(recorded.qp);
    return QString();
}

CellRecord CellRecord::encoded(const CellSources &sources, const QString &bitstream, qint64 pictures,
                               double encoderCpuSeconds, bool decoderToCome)
{
    CellRecord record;
    record.sources = sources;
    record.state = decoderToCome ? Encoded : Done;
    record.bitstreamBytes = QFileInfo(bitstream).size();
    record.pictures = pictures;
    record.encoderCpuSeconds = encoderCpuSeconds;
    record.encodedBy = PartClaim::self().describe();
    return record;
}

QString CellRecord::takeDecode(const DecoderOutcome &outcome, const FileStamp &program, qint64 pictures,
                               bool streamHashes)
{
    this->pictures = pictures;
    decoded = true;
    decoder = program;
    decoderCpuSeconds = outcome.cpuSeconds;
    decodedPictures = outcome.pictures;
    hashesMatched = outcome.matched;
    hashesMismatched = outcome.mismatched;
    QString failure = outcome.problem;
    if (failure.isEmpty() && outcome.mismatched > 0)
        failure = QStringLiteral("%1 of %2 decoded pictures do not match their hashes")
                      .arg(outcome.mismatched).arg(outcome.matched + outcome.mismatched);
    else if (failure.isEmpty() && outcome.pictures == 0)
        failure = QStringLiteral("the decoder decoded no picture");
    else if (failure.isEmpty() && streamHashes && outcome.matched == 0)
        failure = QStringLiteral("the decoder checked no picture hash, yet the bitstream carries them");
    if (failure.isEmpty())
        failure = partialDecode(pictures);
    if (failure.isEmpty())
        state = Done;
    else
        fail(outcome.exitCode, failure, outcome.lastLines);
    return failure;
}

QString CellRecord::partialDecode(qint64 pictures) const
{
    if (decodedPictures != pictures)
        return QStringLiteral("the decoder decoded %1 of the bitstream's %2 pictures").arg(decodedPictures).arg(pictures);
    const qint64 checked = hashesMatched + hashesMismatched;
    if (checked > 0 && hashesMatched != pictures)
        return QStringLiteral("the decoder checked the hashes of %1 of the bitstream's %2 pictures")
            .arg(hashesMatched).arg(pictures);
    return QString();
}

QString CellRecord::takeDigests(const CellFiles &files)
{
    QString problem;
    reportFigures.reset();
    bitstreamDigest = FileDigest::of(files.bitstream, &problem);
    if (problem.isEmpty())
        reportDigest = FileDigest::of(files.report, &problem);
    return problem;
}

void CellRecord::keepFigures(const ReportSummary &summary)
{
    const Figures figures = Figures::of(summary);
    // A PSNR of pictures without chroma is not a number, which JSON cannot hold.
    if (reportDigest.taken() && figures.finite())
        reportFigures = figures;
}

void CellRecord::fail(int code, const QString &reason, const QStringList &lines)
{
    state = Failed;
    exitCode = code;
    failure = reason;
    lastLines = lines;
}

QJsonObject CellRecord::toJson() const
{
    QJsonObject object{{"state", QLatin1String(stateName(state))}, {"sources", sources.toJson()}};
    if (state != Failed) {
        object.insert(QStringLiteral("bitstream_bytes"), bitstreamBytes);
        object.insert(QStringLiteral("encoder_cpu_s"), encoderCpuSeconds);
        object.insert(QStringLiteral("encoded_by"), encodedBy);
        if (bitstreamDigest.taken() && reportDigest.taken()) {
            object.insert(QStringLiteral("bitstream_digest"), bitstreamDigest.toJson());
            object.insert(QStringLiteral("report_digest"), reportDigest.toJson());
            // Written in full: a double reads back as the very same value.
            if (reportFigures)
                object.insert(QStringLiteral("report_figures"), reportFigures->toJson());
        }
    }
    if (pictures >= 0)
        object.insert(QStringLiteral("pictures"), pictures);
    if (decoded)
        object.insert(QStringLiteral("decode"), QJsonObject{{"decoder", decoder.toJson()},
                                                            {"cpu_s", decoderCpuSeconds},
                                                            {"pictures", decodedPictures},
                                                            {"hashes_matched", hashesMatched},
                                                            {"hashes_mismatched", hashesMismatched}});
    if (state == Failed)
        object.insert(QStringLiteral("failure"), QJsonObject{{"exit_code", exitCode},
                                                             {"reason", failure},
                                                             {"last_lines", QJsonArray::fromStringList(lastLines)}});
    return object;
}

CellRecord CellRecord::fromJson(const QJsonObject &object)
{
    CellRecord record;
    const QString state = object.value(QStringLiteral("state")).toString();
    record.state = state == QLatin1String("done") ? Done : state == QLatin1String("encoded") ? Encoded : Failed;
    record.sources = CellSources::fromJson(object.value(QStringLiteral("sources")).toObject());
    record.bitstreamBytes = qint64(object.value(QStringLiteral("bitstream_bytes")).toDouble());
    record.pictures = qint64(object.value(QStringLiteral("pictures")).toDouble(-1));
    record.encoderCpuSeconds = object.value(QStringLiteral("encoder_cpu_s")).toDouble();
    record.encodedBy = object.value(QStringLiteral("encoded_by")).toString();
    record.bitstreamDigest = FileDigest::fromJson(object.value(QStringLiteral("bitstream_digest")).toObject());
    record.reportDigest = FileDigest::fromJson(object.value(QStringLiteral("report_digest")).toObject());
    record.reportFigures = Figures::fromJson(object.value(QStringLiteral("report_figures")).toObject());
    const QJsonObject decode = object.value(QStringLiteral("decode")).toObject();
    record.decoded = !decode.isEmpty();
    record.decoder = FileStamp::fromJson(decode.value(QStringLiteral("decoder")).toObject());
    record.decoderCpuSeconds = decode.value(QStringLiteral("cpu_s")).toDouble();
    record.decodedPictures = qint64(decode.value(QStringLiteral("pictures")).toDouble());
    record.hashesMatched = qint64(decode.value(QStringLiteral("hashes_matched")).toDouble());
    record.hashesMismatched = qint64(decode.value(QStringLiteral("hashes_mismatched")).toDouble());
    const QJsonObject failure = object.value(QStringLiteral("failure")).toObject();
    record.exitCode = failure.value(QStringLiteral("exit_code")).toInt();
    record.failure = failure.value(QStringLiteral("reason")).toString();
    for (const QJsonValue &line : failure.value(QStringLiteral("last_lines")).toArray())
        record.lastLines << line.toString();
    return record;
}

bool CellRecord::read(const QString &path, CellRecord *record, QString *problem)
{
    QJsonObject object;
    if (!JsonFile::read(path, &object, problem))
        return false;
    *record = fromJson(object);
    return true;
}

QString CellRecord::write(const QString &path) const
{
    const QString problem = JsonFile::write(path, toJson());
    // A link's refusal names the file already.
    return problem.isEmpty() || problem.startsWith(QDir::toNativeSeparators(path))
        ? problem
        : QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(path), problem);
}

QString CellRecord::hashText() const
{
    if (!decoded)
        return QString();
    const qint64 checked = hashesMatched + hashesMismatched;
    if (checked == 0)
        return QStringLiteral("no hashes");
    if (hashesMismatched > 0)
        return QStringLiteral("%1 of %2 wrong").arg(hashesMismatched).arg(checked);
    return QStringLiteral("%1/%2 OK").arg(hashesMatched).arg(pictures >= 0 ? pictures : decodedPictures);
}

bool CellSources::operator==(const CellSources &other) const
{
    return sequence == other.sequence && sequenceSize == other.sequenceSize
        && sequenceModifiedMs == other.sequenceModifiedMs && rawWidth == other.rawWidth
        && rawHeight == other.rawHeight && fps == other.fps && frames == other.frames
        && configuration == other.configuration && encoder == other.encoder && encoderSize == other.encoderSize
        && encoderModifiedMs == other.encoderModifiedMs && qp == other.qp
        && earlierConfiguration == other.earlierConfiguration;
}

namespace {

// The standings this process has read, by record, with what they were read from: the same
// cell is looked at again and again (by the runner while others work on it, by every write of
// the results, by the view), and reading its record and report is most of a look. A standing
// is taken again only while its record, report, bitstream and decoder have the stamps they had
// then (those a digest is trusted by: size, times of change and inode) and the sources expected
// are the same.
struct ReadStanding
{
    FileDigest record, report, bitstream, decoder;
    CellSources expected;
    QString decoderPath;
    CellStanding standing;

    bool sameAs(const ReadStanding &other) const
    {
        return record.sameStamp(other.record) && report.sameStamp(other.report)
            && bitstream.sameStamp(other.bitstream) && decoder.sameStamp(other.decoder)
            && decoderPath == other.decoderPath && expected == other.expected;
    }
};

// Enough for every cell of a large experiment; past it, the memory is worth more.
constexpr int rememberedMost = 50000;

QMutex readLock;
QHash<QString, ReadStanding> &readStandings()
{
    static QHash<QString, ReadStanding> standings;
    return standings;
}

} // namespace

CellStanding CellStanding::of(const CellFiles &files, const CellSources &expected, const QString &decoder)
{
    // Most cells looked at are still to be made: with nothing at all at the record's place (not
    // even a link), there is nothing more to look at.
    struct stat entry;
    if (files.made.isEmpty() && ::lstat(QFile::encodeName(files.record).constData(), &entry) != 0 && errno == ENOENT)
        return CellStanding();
    ReadStanding now;
    now.record = FileDigest::stampOf(files.record);
    // A cell made before is looked for in two places; without a record there is little to read.
    if (!files.made.isEmpty() || now.record.size < 0)
        return ofFiles(files, expected, decoder);
    now.report = FileDigest::stampOf(files.report);
    now.bitstream = FileDigest::stampOf(files.bitstream);
    if (!decoder.isEmpty())
        now.decoder = FileDigest::stampOf(decoder);
    now.expected = expected;
    now.decoderPath = decoder;
    {
        QMutexLocker locked(&readLock);
        const auto read = readStandings().constFind(files.record);
        if (read != readStandings().cend() && read->sameAs(now))
            return read->standing;
    }
    now.standing = ofFiles(files, expected, decoder);
    now.standing.recordChangedNs = now.record.changedNs;
    // The configuration's text is most of a record's size: where it is the one expected, one
    // copy serves both.
    if (now.standing.record.sources.configuration == expected.configuration)
        now.standing.record.sources.configuration = expected.configuration;
    QMutexLocker locked(&readLock);
    if (readStandings().size() >= rememberedMost)
        readStandings().clear();
    readStandings().insert(files.record, now);
    return now.standing;
}

CellStanding CellStanding::ofFiles(const CellFiles &files, const CellSources &expected, const QString &decoder)
{
    // A cell made before in a folder the plan names counts when it is done there as it is; it is
    // only read, so one that would need anything more is made in the plan's own folder.
    QString notUsed;
    if (!files.made.isEmpty()) {
        CellStanding there = in(files.madeBefore(), expected, decoder);
        if (there.kind == Done) {
            there.madeBefore = true;
            return there;
        }
        if (there.kind == Failed)
            notUsed = QStringLiteral("it failed there");
        else if (there.kind != None)
            notUsed = there.reason.isEmpty() ? QStringLiteral("it is not decoded there") : there.reason;
    }
    CellStanding here = in(files, expected, decoder);
    here.madeBeforeReason = notUsed;
    return here;
}

namespace {

// Why the file no longer holds what the record's digest says, in words ("its report … has
// changed since it was written"); empty when it does. A record without a digest, or files
// whose stamp changed while their contents did not, set *due.
QString digestProblem(const FileDigest &recorded, const QString &path, const char *what, bool *due)
{
    if (!recorded.taken()) {
        *due = true;
        return QString();
    }
    QString problem;
    switch (recorded.check(path, &problem)) {
    case FileDigest::Unchanged:
        break;
    case FileDigest::SameContents:
        *due = true;
        break;
    case FileDigest::Changed:
        return QStringLiteral("its %1 %2 has changed since it was written").arg(QLatin1String(what),
                                                                                QDir::toNativeSeparators(path));
    case FileDigest::Unreadable:
        return QStringLiteral("its %1 %2").arg(QLatin1String(what), problem);
    }
    return QString();
}

} // namespace

CellStanding CellStanding::in(const CellFiles &files, const CellSources &expected, const QString &decoder)
{
    CellStanding standing;
    QString problem;
    if (!CellRecord::read(files.record, &standing.record, &problem)) {
        standing.kind = problem.isEmpty() ? None : Stale;
        standing.reason = problem;
        return standing;
    }
    const CellRecord &record = standing.record;
    standing.reason = expected.changedSince(record.sources);
    if (!standing.reason.isEmpty()) {
        standing.kind = Stale;
        return standing;
    }
    if (record.state == CellRecord::Failed) {
        standing.kind = Failed;
        return standing;
    }
    const QFileInfo bitstream(files.bitstream);
    if (!bitstream.isFile() || bitstream.size() != record.bitstreamBytes) {
        standing.reason = QStringLiteral("its bitstream %1 is missing or no longer of its recorded size")
                              .arg(QDir::toNativeSeparators(files.bitstream));
    } else {
        standing.reason = digestProblem(record.bitstreamDigest, files.bitstream, "bitstream", &standing.digestsDue);
        if (standing.reason.isEmpty())
            standing.reason = digestProblem(record.reportDigest, files.report, "report", &standing.digestsDue);
        // A record of an earlier version does not hold the bitstream's picture count: it is
        // counted instead.
        standing.pictures = record.pictures >= 0 ? record.pictures : CellCheck::inspect(files.bitstream).pictures;
        // Both files hold what their digests say: the report's figures are those kept with its
        // digest, and its check against the bitstream passed when they were kept.
        const bool figuresKept = record.reportFigures && record.bitstreamDigest.taken() && record.reportDigest.taken();
        if (standing.reason.isEmpty() && figuresKept)
            record.reportFigures->into(&standing.figures);
        else if (standing.reason.isEmpty())
            standing.reason = CellCheck::reportProblem(files.report, standing.pictures, bitstream.size(),
                                                       &standing.figures);
    }
    if (!standing.reason.isEmpty()) {
        standing.kind = Stale;
        return standing;
    }
    if (decoder.isEmpty()) {
        standing.kind = Done;
        return standing;
    }
    // A decoder that is not on this machine is known by its path alone, as an encoder is.
    const FileStamp decoderHere = FileStamp::of(decoder);
    const bool sameDecoder = record.decoded
                             && (decoderHere.modifiedMs == 0 ? record.decoder.path == decoderHere.path
                                                             : record.decoder == decoderHere);
    if (sameDecoder)
        standing.reason = record.partialDecode(standing.pictures);
    standing.kind = sameDecoder && standing.reason.isEmpty() ? Done : NeedsDecode;
    return standing;
}
