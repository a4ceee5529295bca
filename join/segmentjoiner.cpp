#include "segmentjoiner.h"

#include "exactseam.h"

#include "bitstream/nalunitreader.h"
#include "codecs/codecs.h"
#include "files/filecheck.h"
#include "files/pathtext.h"
#include "files/regularfile.h"
#include "files/replacefile.h"

#include <QFile>
#include <QList>
#include <QSaveFile>

#include <memory>

namespace {

constexpr qint64 kChunk = 1 << 20;

using PathText::native;

// What the join needs to know of a segment, read from its start.
struct SegmentHead
{
    const Codec *codec = nullptr;
    SequenceFormat format;
    QList<FileEdit> openSlices;   // an opening random-access picture's slices made to start anew
    int firstType = -1;           // NAL unit type of the first picture's first slice
    qint64 size = 0;
};

// The edits that make the opening picture (its first slice read last) start anew: every slice of
// it, up to where the next access unit begins. Why the stream could not be read there; empty
// when it could.
QString openingEdits(const Codec &codec, NalUnitReader *reader, NalUnit unit, QList<FileEdit> *edits)
{
    FileEdit edit;
    if (!codec.closingEdit(unit.bytes, unit.offset, &edit))
        return QString();
    *edits << edit;
    while (reader->next(&unit)) {
        if (codec.kind(unit.type) == Codec::Kind::Slice) {
            if (codec.startsPicture(unit.bytes.constData(), unit.bytes.size()).value_or(true)
                || !codec.closingEdit(unit.bytes, unit.offset, &edit))
                break;
            *edits << edit;
        } else if (codec.startsAccessUnit(unit.type)) {
            break;
        }
    }
    return reader->problem;
}

QString readHead(const QString &path, bool findOpenSlices, SegmentHead *head)
{
    QFile file;
    const QString unopened = RegularFile::open(path, &file);
    if (!unopened.isEmpty())
        return unopened;
    head->size = file.size();
    if (head->size == 0)
        return QStringLiteral("it is empty");

    const Codec *recognised = Codecs::recognise(&file);
    const Codec &codec = recognised ? *recognised : Codecs::fallback();
    head->codec = &codec;
    NalUnitReader reader(&file, codec);
    NalUnit unit;
    QList<Codec::Kind> sets;
    bool formatRead = false, started = false;
    for (;;) {
        if (!reader.next(&unit)) {
            if (!reader.problem.isEmpty())
                return reader.problem;
            return started ? QStringLiteral("it holds no picture")
                           : QStringLiteral("it is not an %1 elementary stream (no start code)").arg(codec.name());
        }
        if (!started && !reader.cleanStart())
            return QStringLiteral("it is not an %1 elementary stream (no start code at the beginning)").arg(codec.name());
        started = true;
        if (unit.damaged)
            return QStringLiteral("it is not an %1 elementary stream (damaged NAL unit at byte %2)")
                .arg(codec.name()).arg(unit.offset);
        const Codec::Kind kind = codec.kind(unit.type);
        if (kind == Codec::Kind::Slice)
            break;
        if (kind == Codec::Kind::Delimiter || kind == Codec::Kind::PrefixSei)
            continue;
        if (Codec::isParameterSet(kind)) {
            sets << kind;
            if (kind == Codec::Kind::SequenceSet && !formatRead && unit.layer == 0) {
                if (!codec.readFormat(unit.bytes.constData(), unit.bytes.size(), &head->format))
                    return QStringLiteral("its sequence parameter set is unreadable");
                formatRead = true;
            }
        } else if (sets.isEmpty()) {
            return QStringLiteral("it does not start with its parameter sets (NAL unit type %1 comes first)")
                .arg(unit.type);
        }
    }
    const QStringList missing = codec.missingOpeningSets(sets);
    if (!missing.isEmpty())
        return QStringLiteral("it does not start with its parameter sets (no %1 before the first picture)")
            .arg(missing.join(QLatin1Char('/')));
    if (!formatRead)
        return QStringLiteral("it has no sequence parameter set for its base layer");
    if (!codec.isIrap(unit.type))
        return QStringLiteral("its first picture is not a random-access picture (NAL unit type %1)")
            .arg(unit.type);
    head->firstType = unit.type;
    return findOpenSlices ? openingEdits(codec, &reader, unit, &head->openSlices) : QString();
}

// Writes all of the bytes; a short write is retried, so that a full disk shows up as the
// output's error.
QString writeAll(QSaveFile *output, const QByteArray &bytes, bool *outputFailed)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 written = output->write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            *outputFailed = true;
            return output->errorString();
        }
        done += qsizetype(written);
    }
    return QString();
}

QString copyRange(QFile *file, qint64 from, qint64 to, QSaveFile *output, bool *outputFailed,
                  const std::atomic_bool *stop)
{
    if (!file->seek(from))
        return file->errorString();
    for (qint64 at = from; at < to;) {
        if (stop && *stop)
            return QString();
        const QByteArray chunk = file->read(qMin(kChunk, to - at));
        if (chunk.isEmpty())
            return file->error() != QFileDevice::NoError ? file->errorString()
                                                         : QStringLiteral("it changed while being joined");
        const QString unwritten = writeAll(output, chunk, outputFailed);
        if (!unwritten.isEmpty())
            return unwritten;
        at += chunk.size();
    }
    return QString();
}

// Copies a segment into the output from `from` on, with the edits (in order, none before
// `from`) made on the way.
QString copySegment(const QString &path, qint64 size, qint64 from, const QList<FileEdit> &edits,
                    QSaveFile *output, bool *outputFailed, const std::atomic_bool *stop)
{
    QFile file;
    const QString unopened = RegularFile::open(path, &file);
    if (!unopened.isEmpty())
        return unopened;
    if (file.size() != size)
        return QStringLiteral("it changed while being joined");
    qint64 at = from;
    for (const FileEdit &edit : edits) {
        QString problem = copyRange(&file, at, edit.at, output, outputFailed, stop);
        if (!problem.isEmpty() || (stop && *stop))
            return problem;
        if (file.read(edit.before.size()) != edit.before)
            return QStringLiteral("it changed while being joined");
        problem = writeAll(output, edit.after, outputFailed);
        if (!problem.isEmpty())
            return problem;
        at = edit.at + edit.before.size();
    }
    const QString problem = copyRange(&file, at, size, output, outputFailed, stop);
    if (problem.isEmpty() && file.size() != size)
        return QStringLiteral("it changed while being joined");
    return problem;
}

} // namespace

// What the join makes of one segment.
struct SegmentJoiner::Plan
{
    SegmentHead head;
    std::shared_ptr<StreamIndex> index;    // read where a seam beside it may be exact
    int orderOffset = 0;                   // what its first coded video sequence counts on from
    qint64 from = 0;                       // where its copy starts
    QList<FileEdit> edits;
};

int JoinResult::exactSeams() const
{
    int count = 0;
    for (const SeamVerdict &seam : seams)
        count += seam.kind == SeamVerdict::Exact;
    return count;
}

SegmentJoiner::SegmentJoiner(const QString &outputPath, const QStringList &segmentPaths, const QList<Seam> &seams,
                             const std::atomic_bool *stop, const Codec::Tools &tools)
    : outputPath(outputPath)
    , segmentPaths(segmentPaths)
    , seamKinds(seams)
    , stop(stop)
    , tools(tools)
{
}

SegmentJoiner::~SegmentJoiner() = default;

JoinResult SegmentJoiner::outputError(const QString &reason, bool writing)
{
    result.ok = false;
    result.error = QStringLiteral("Cannot join into %1: %2").arg(native(outputPath), reason);
    result.outputFailed = writing;
    return result;
}

JoinResult SegmentJoiner::segmentError(int index, const QString &reason)
{
    result.ok = false;
    result.error = QStringLiteral("Cannot join segment %1 (%2 of %3): %4")
                       .arg(native(segmentPaths.at(index))).arg(index + 1).arg(segmentPaths.size()).arg(reason);
    return result;
}

JoinResult SegmentJoiner::stopped()
{
    result.ok = false;
    result.stopped = true;
    result.error = QStringLiteral("The join into %1 was stopped; nothing was written").arg(native(outputPath));
    return result;
}

JoinResult SegmentJoiner::prepare()
{
    result = JoinResult();
    plans.clear();
    if (outputPath.isEmpty())
        return outputError(QStringLiteral("no output named"), false);
    if (segmentPaths.isEmpty())
        return outputError(QStringLiteral("no segments given"), false);
    for (int i = 0; i < segmentPaths.size(); ++i)
        if (FileCheck::sameFile(outputPath, segmentPaths.at(i)))
            return outputError(QStringLiteral("it is segment %1 itself").arg(i + 1), false);

    for (int i = 0; i < segmentPaths.size(); ++i) {
        if (isStopped())
            return stopped();
        Plan plan;
        const QString problem = readHead(segmentPaths.at(i), i > 0, &plan.head);
        if (!problem.isEmpty())
            return segmentError(i, problem);
        if (i > 0 && plan.head.codec != plans.first().head.codec)
            return segmentError(i, QStringLiteral("its codec is %1, that of the first segment %2")
                                       .arg(plan.head.codec->name(), plans.first().head.codec->name()));
        if (i > 0 && !plan.head.format.sameCoding(plans.first().head.format))
            return segmentError(i, QStringLiteral("its pictures are %1, those of the first segment %2")
                                       .arg(plan.head.format.describe(), plans.first().head.format.describe()));
        plans << plan;
    }
    lookAtSeams();
    if (isStopped())
        return stopped();
    for (int i = 0; i < result.seams.size(); ++i) {
        if (result.seams.at(i).kind == SeamVerdict::NotProven)
            return segmentError(i + 1, QStringLiteral("its first picture is not proven to be the copy of the last "
                                                      "picture of %1: %2")
                                           .arg(native(segmentPaths.at(i)), result.seams.at(i).reason));
    }
    result.ok = true;
    return result;
}

void SegmentJoiner::lookAtSeams()
{
    const auto indexed = [this](int i) -> const StreamIndex & {
        if (!plans[i].index)
            plans[i].index = std::make_shared<StreamIndex>(plans.at(i).head.codec->index(segmentPaths.at(i), stop));
        return *plans.at(i).index;
    };
    for (int i = 0; i + 1 < plans.size(); ++i) {
        const Seam kind = i < seamKinds.size() ? seamKinds.at(i) : Seam::Closed;
        SeamVerdict verdict;
        if (kind == Seam::Closed) {
            result.seams << verdict;
            continue;
        }
        // Only a segment that opens with an IDR picture can hold a copy; the others are not
        // read through for nothing.
        const Codec &codec = *plans.at(i + 1).head.codec;
        ExactSeam::Check check;
        check.problem = ExactSeam::openingProblem(codec, plans.at(i + 1).head.firstType);
        if (check.problem.isEmpty())
            check = ExactSeam::check(codec, tools, {indexed(i), segmentPaths.at(i)}, {indexed(i + 1), segmentPaths.at(i + 1)},
                                     stop);
        if (isStopped())
            return;
        if (check.problem.isEmpty()) {
            verdict.kind = SeamVerdict::Exact;
        } else if (kind == Seam::Overlap) {
            verdict.kind = SeamVerdict::NotProven;
            verdict.reason = check.problem;
        } else if (check.overlaps) {
            verdict.reason = check.problem;
        }
        result.seams << verdict;
    }
}

JoinResult SegmentJoiner::write()
{
    if (!result.ok)
        return result;
    result.ok = false;
    for (int i = 0; i < plans.size(); ++i) {
        Plan &plan = plans[i];
        plan.edits = plan.head.openSlices;
        if (i == 0 || result.seams.at(i - 1).kind != SeamVerdict::Exact)
            continue;
        // The copy of the earlier segment's last picture goes, with its parameter sets and SEI.
        const Plan &previous = plans.at(i - 1);
        const StreamIndex &index = *plan.index;
        plan.orderOffset = ExactSeam::lastOrderCount(*previous.index, previous.orderOffset);
        plan.from = index.units.size() > 1 ? index.units.at(1).start : index.size;
        plan.edits.clear();
        const QByteArray kept = ExactSeam::keptSets(*plan.head.codec, *previous.index, index);
        if (!kept.isEmpty() && index.units.size() > 1) {
            FileEdit insertion;
            insertion.at = qMax(plan.from, index.units.at(1).setsAt);
            insertion.after = kept;
            plan.edits << insertion;
        }
        QString problem;
        QList<FileEdit> renumbered;
        if (!ExactSeam::renumbering(*plan.head.codec, index, plan.orderOffset, &renumbered, &problem))
            return segmentError(i, problem);
        // The dropped access unit's own order count (VVC's IDR pictures carry one) goes with it.
        for (const FileEdit &edit : std::as_const(renumbered))
            if (edit.at >= plan.from)
                plan.edits << edit;
    }

    // Unbuffered: a buffered write that fails only when the file is committed is not
    // reported by QSaveFile, which would then put a cut-short file in place.
    QSaveFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return outputError(output.errorString());
    for (int i = 0; i < plans.size(); ++i) {
        const Plan &plan = plans.at(i);
        bool outputFailed = false;
        const QString problem = copySegment(segmentPaths.at(i), plan.head.size, plan.from, plan.edits, &output,
                                            &outputFailed, stop);
        if (!problem.isEmpty()) {
            output.cancelWriting();
            return outputFailed ? outputError(problem) : segmentError(i, problem);
        }
        if (isStopped()) {
            output.cancelWriting();
            return stopped();
        }
    }
    const QString unsynced = ReplaceFile::syncToDisk(&output);
    if (!unsynced.isEmpty()) {
        output.cancelWriting();
        return outputError(unsynced);
    }
    ReplaceFile::keepModeOf(outputPath, &output);
    if (!output.commit())
        return outputError(output.errorString());
    result.ok = true;
    result.segments = int(segmentPaths.size());
    return result;
}

JoinResult SegmentJoiner::join(const QString &outputPath, const QStringList &segmentPaths, const std::atomic_bool *stop,
                               const QList<Seam> &seams, const Codec::Tools &tools)
{
    SegmentJoiner joiner(outputPath, segmentPaths, seams, stop, tools);
    const JoinResult prepared = joiner.prepare();
    return prepared.ok ? joiner.write() : prepared;
}
