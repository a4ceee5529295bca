#include "segmentjoiner.h"

#include "bitstream/hevcbytestream.h"
#include "bitstream/nalunitreader.h"
#include "bitstream/replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

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
    QList<qint64> openSlices;   // file offsets of the slice headers of an opening CRA picture
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
    if (!findOpenSlices || unit.type != H::Cra)
        return QString();

    // All slices of the opening picture, up to where the next access unit begins.
    head->openSlices << unit.offset;
    while (reader.next(&unit)) {
        if (unit.type < H::Vps) {
            const bool firstSliceOfPicture = unit.bytes.size() < 3 || (uchar(unit.bytes.at(2)) & 0x80);
            if (firstSliceOfPicture || unit.type != H::Cra)
                break;
            head->openSlices << unit.offset;
        } else if (H::startsAccessUnit(unit.type)) {
            break;
        }
    }
    return reader.problem;
}

// Copies a segment into the output. A CRA picture that opens a later segment becomes a BLA
// picture: a decoder then skips the leading pictures that refer to pictures before it (which
// belong to another segment) and still outputs every picture of the previous segment, as it
// does when the segment is decoded alone.
QString copySegment(const QString &path, const SegmentHead &head, QSaveFile *output, bool *outputFailed,
                    const std::atomic_bool *stop)
{
    QFile file;
    const QString unopened = openSegment(path, &file);
    if (!unopened.isEmpty())
        return unopened;
    if (file.size() != head.size)
        return QStringLiteral("it changed while being joined");
    qint64 offset = 0;
    for (;;) {
        if (stop && *stop)
            return QString();
        QByteArray chunk = file.read(kChunk);
        if (chunk.isEmpty()) {
            if (file.error() != QFileDevice::NoError)
                return file.errorString();
            break;
        }
        for (qint64 slice : head.openSlices) {
            if (slice < offset || slice >= offset + chunk.size())
                continue;
            char &header = chunk[qsizetype(slice - offset)];
            if (((uchar(header) >> 1) & 0x3f) != H::Cra)
                return QStringLiteral("it changed while being joined");
            header = char((uchar(header) & 0x81) | (H::BlaWithLeading << 1));
        }
        // A short write is retried, so that a full disk shows up as the output's error.
        for (qsizetype done = 0; done < chunk.size();) {
            const qint64 written = output->write(chunk.constData() + done, chunk.size() - done);
            if (written <= 0) {
                *outputFailed = true;
                return output->errorString();
            }
            done += qsizetype(written);
        }
        offset += chunk.size();
    }
    if (offset != head.size)
        return QStringLiteral("it changed while being joined");
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

} // namespace

JoinResult SegmentJoiner::join(const QString &outputPath, const QStringList &segmentPaths,
                               const std::atomic_bool *stop)
{
    JoinResult result;
    const auto outputError = [&](const QString &reason, bool writing = true) {
        result.error = QStringLiteral("Cannot join into %1: %2").arg(native(outputPath), reason);
        result.outputFailed = writing;
        return result;
    };
    const auto segmentError = [&](int index, const QString &reason) {
        result.error = QStringLiteral("Cannot join segment %1 (%2 of %3): %4")
                           .arg(native(segmentPaths.at(index))).arg(index + 1)
                           .arg(segmentPaths.size()).arg(reason);
        return result;
    };
    if (outputPath.isEmpty())
        return outputError(QStringLiteral("no output named"), false);
    if (segmentPaths.isEmpty())
        return outputError(QStringLiteral("no segments given"), false);
    for (int i = 0; i < segmentPaths.size(); ++i)
        if (sameFile(outputPath, segmentPaths.at(i)))
            return outputError(QStringLiteral("it is segment %1 itself").arg(i + 1), false);

    const auto stopped = [&] {
        result.stopped = true;
        result.error = QStringLiteral("The join into %1 was stopped; nothing was written").arg(native(outputPath));
        return result;
    };
    QList<SegmentHead> heads;
    for (int i = 0; i < segmentPaths.size(); ++i) {
        if (stop && *stop)
            return stopped();
        SegmentHead head;
        const QString problem = readHead(segmentPaths.at(i), i > 0, &head);
        if (!problem.isEmpty())
            return segmentError(i, problem);
        if (i > 0 && !head.format.sameCoding(heads.first().format))
            return segmentError(i, QStringLiteral("its pictures are %1, those of the first segment %2")
                                       .arg(head.format.describe(), heads.first().format.describe()));
        heads << head;
    }

    // Unbuffered: a buffered write that fails only when the file is committed is not
    // reported by QSaveFile, which would then put a cut-short file in place.
    QSaveFile output(outputPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return outputError(output.errorString());
    for (int i = 0; i < segmentPaths.size(); ++i) {
        bool outputFailed = false;
        const QString problem = copySegment(segmentPaths.at(i), heads.at(i), &output, &outputFailed, stop);
        if (!problem.isEmpty()) {
            output.cancelWriting();
            return outputFailed ? outputError(problem) : segmentError(i, problem);
        }
        if (stop && *stop) {
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
