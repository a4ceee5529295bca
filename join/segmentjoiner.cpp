#include "segmentjoiner.h"

#include "exactseam.h"
#include "segmentindex.h"

#include "bitstream/hevcbytestream.h"
#include "bitstream/nalunitreader.h"
#include "files/replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 kChunk = 1 << 20;

using H = HevcByteStream;

// What the join needs to know of a segment, read from its start.
struct SegmentHead
{
    SequenceFormat format;
    QList<ExactSeam::FileEdit> openSlices;   // an opening CRA picture's slices made BLA slices
    int firstType = -1;                      // NAL unit type of the first picture's first slice
    qint64 size = 0;
};

QString describeMissing(bool vps, bool sps, bool pps)
{
    QStringList missing;
    if (!vps)
        missing << QStringLiteral("VPS");
    if (!sps)
        missing << QStringLiteral("SPS");
    if (!pps)
        missing << QStringLiteral("PPS");
    return missing.join(QLatin1Char('/'));
}

// Opens a segment for reading without ever blocking: a named pipe given as a segment would
// otherwise wait for a writer that never comes.
QString openSegment(const QString &path, QFile *file)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat info;
    QString problem;
    if (::fstat(fd, &info) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISFIFO(info.st_mode))
        problem = QStringLiteral("it is a named pipe, not a regular file");
    else if (S_ISDIR(info.st_mode))
        problem = QStringLiteral("it is a folder, not a regular file");
    else if (!S_ISREG(info.st_mode))
        problem = QStringLiteral("it is a device or socket, not a regular file");
    else if (::fcntl(fd, F_SETFL, O_RDONLY) != 0 || !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        problem = file->errorString();
    if (!problem.isEmpty()) {
        ::close(fd);
        return problem;
    }
    return QString();
#else
    file->setFileName(path);
    return file->open(QIODevice::ReadOnly) ? QString() : file->errorString();
#endif
}

// A CRA picture that opens a later segment becomes a BLA picture: a decoder then skips the
// leading pictures that refer to pictures before it (which belong to another segment) and
// still outputs every picture of the previous segment, as it does when the segment is decoded
// alone.
ExactSeam::FileEdit asBla(const NalUnit &slice)
{
    ExactSeam::FileEdit edit;
    edit.at = slice.offset;
    edit.before = slice.bytes.left(1);
    edit.after = QByteArray(1, char((uchar(slice.bytes.at(0)) & 0x81) | (H::BlaWithLeading << 1)));
    return edit;
}

QString readHead(const QString &path, bool findOpenSlices, SegmentHead *head)
{
    QFile file;
    const QString unopened = openSegment(path, &file);
    if (!unopened.isEmpty())
        return unopened;
    head->size = file.size();
    if (head->size == 0)
        return QStringLiteral("it is empty");

    NalUnitReader reader(&file);
    NalUnit unit;
    bool vps = false, sps = false, pps = false, formatRead = false, started = false;
    for (;;) {
        if (!reader.next(&unit)) {
            if (!reader.problem.isEmpty())
                return reader.problem;
            return started ? QStringLiteral("it holds no picture")
                           : QStringLiteral("it is not an HEVC elementary stream (no start code)");
        }
        if (!started && !reader.cleanStart())
            return QStringLiteral("it is not an HEVC elementary stream (no start code at the beginning)");
        started = true;
        if (unit.damaged)
            return QStringLiteral("it is not an HEVC elementary stream (damaged NAL unit at byte %1)")
                .arg(unit.offset);
        if (unit.type < H::Vps)
            break;
        if (unit.type == H::Aud || unit.type == H::PrefixSei)
            continue;
        if (unit.type == H::Vps) {
            vps = true;
        } else if (unit.type == H::Sps) {
            sps = true;
            if (!formatRead && unit.layer == 0) {
                if (!H::readSequenceFormat(unit.bytes.constData(), unit.bytes.size(), &head->format))
                    return QStringLiteral("its sequence parameter set is unreadable");
                formatRead = true;
            }
        } else if (unit.type == H::Pps) {
            pps = true;
        } else if (!vps && !sps && !pps) {
            return QStringLiteral("it does not start with its parameter sets (NAL unit type %1 comes first)")
                .arg(unit.type);
        }
    }
    if (!vps || !sps || !pps)
        return QStringLiteral("it does not start with its parameter sets (no %1 before the first picture)")
            .arg(describeMissing(vps, sps, pps));
    if (!formatRead)
        return QStringLiteral("it has no sequence parameter set for its base layer");
    if (unit.type < H::FirstIrap || unit.type > H::LastIrap)
        return QStringLiteral("its first picture is not a random-access picture (NAL unit type %1)")
            .arg(unit.type);
    head->firstType = unit.type;
    if (!findOpenSlices || unit.type != H::Cra)
        return QString();

    // All slices of the opening picture, up to where the next access unit begins.
    head->openSlices << asBla(unit);
    while (reader.next(&unit)) {
        if (unit.type < H::Vps) {
            const bool firstSliceOfPicture = unit.bytes.size() < 3 || (uchar(unit.bytes.at(2)) & 0x80);
            if (firstSliceOfPicture || unit.type != H::Cra)
                break;
            head->openSlices << asBla(unit);
        } else if (H::startsAccessUnit(unit.type)) {
            break;
        }
    }
    return reader.problem;
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

bool sameFile(const QString &a, const QString &b)
{
    const QFileInfo first(a), second(b);
    if (!first.exists() || !second.exists())
        return false;
#ifdef Q_OS_UNIX
    // Hard links and bind mounts are the same file under another name.
    struct stat firstStat, secondStat;
    if (::stat(QFile::encodeName(first.absoluteFilePath()).constData(), &firstStat) == 0
        && ::stat(QFile::encodeName(second.absoluteFilePath()).constData(), &secondStat) == 0)
        return firstStat.st_dev == secondStat.st_dev && firstStat.st_ino == secondStat.st_ino;
#endif
    return first.canonicalFilePath() == second.canonicalFilePath();
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Copies a segment into the output from `from` on, with the edits (in order, none before
// `from`) made on the way.
QString copySegment(const QString &path, qint64 size, qint64 from, const QList<ExactSeam::FileEdit> &edits,
                    QSaveFile *output, bool *outputFailed, const std::atomic_bool *stop)
{
    QFile file;
    const QString unopened = openSegment(path, &file);
    if (!unopened.isEmpty())
        return unopened;
    if (file.size() != size)
        return QStringLiteral("it changed while being joined");
    qint64 at = from;
    for (const ExactSeam::FileEdit &edit : edits) {
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
    std::shared_ptr<SegmentIndex> index;   // read where a seam beside it may be exact
    int orderOffset = 0;                   // what its first coded video sequence counts on from
    qint64 from = 0;                       // where its copy starts
    QList<ExactSeam::FileEdit> edits;
};

int JoinResult::exactSeams() const
{
    int count = 0;
    for (const SeamVerdict &seam : seams)
        count += seam.kind == SeamVerdict::Exact;
    return count;
}

SegmentJoiner::SegmentJoiner(const QString &outputPath, const QStringList &segmentPaths, const QList<Seam> &seams,
                             const std::atomic_bool *stop)
    : outputPath(outputPath)
    , segmentPaths(segmentPaths)
    , seamKinds(seams)
    , stop(stop)
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
        if (sameFile(outputPath, segmentPaths.at(i)))
            return outputError(QStringLiteral("it is segment %1 itself").arg(i + 1), false);

    for (int i = 0; i < segmentPaths.size(); ++i) {
        if (isStopped())
            return stopped();
        Plan plan;
        const QString problem = readHead(segmentPaths.at(i), i > 0, &plan.head);
        if (!problem.isEmpty())
            return segmentError(i, problem);
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
    const auto indexed = [this](int i) -> const SegmentIndex & {
        if (!plans[i].index)
            plans[i].index = std::make_shared<SegmentIndex>(SegmentIndex::read(segmentPaths.at(i), stop));
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
        ExactSeam::Check check;
        if (plans.at(i + 1).head.firstType == H::IdrWithLeading || plans.at(i + 1).head.firstType == H::IdrNoLeading)
            check = ExactSeam::check(indexed(i), segmentPaths.at(i), indexed(i + 1), segmentPaths.at(i + 1), stop);
        else
            check.problem = QStringLiteral("the later segment does not open with an IDR picture");
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
        const SegmentIndex &index = *plan.index;
        plan.orderOffset = ExactSeam::lastOrderCount(*previous.index, previous.orderOffset);
        plan.from = index.units.size() > 1 ? index.units.at(1).start : index.size;
        plan.edits.clear();
        QString problem;
        if (!ExactSeam::renumbering(index, plan.orderOffset, &plan.edits, &problem))
            return segmentError(i, problem);
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
                               const QList<Seam> &seams)
{
    SegmentJoiner joiner(outputPath, segmentPaths, seams, stop);
    const JoinResult prepared = joiner.prepare();
    return prepared.ok ? joiner.write() : prepared;
}
