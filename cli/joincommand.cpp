#include "joincommand.h"

#include "job/signalwatcher.h"
#include "jobbase/filecheck.h"
#include "join/lastpicturecheck.h"
#include "join/segmentjoiner.h"
#include "join/streaminspector.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <atomic>
#include <numeric>
#include <cstdio>

#include <sysexits.h>

namespace {

void printLine(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int failWith(int status, const QString &text)
{
    printLine(QStringLiteral("morlunex-cli: ") + text);
    return status;
}

// A record is small (a segment's pictures' times and report rows); a larger file beside a
// segment is something else.
constexpr qint64 kMaxRecordBytes = 256 << 20;

const QRegularExpression &partName()
{
    static const QRegularExpression named(QStringLiteral("^part_([0-9]+)\\.265$"));
    return named;
}

// The byte count the job's record beside a segment states (part_<first>.json for
// part_<first>.265, written by the job when the segment was finished), or -1 where there is
// no record of that segment: no such file, or one of another kind (a quality report of that
// name, a record of another segment).
qint64 recordedBytes(const QString &segment, QString *recordPath)
{
    const QFileInfo info(segment);
    const QRegularExpressionMatch match = partName().match(info.fileName());
    if (!match.hasMatch())
        return -1;
    // Named as the segment was given, in the same folder: part_<first>.265 less its suffix.
    const QString record = segment.chopped(4) + QStringLiteral(".json");
    QFile file(record);
    if (file.size() > kMaxRecordBytes || !file.open(QIODevice::ReadOnly))
        return -1;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonValue bytes = object.value(QStringLiteral("bytes"));
    const QJsonValue first = object.value(QStringLiteral("first_picture"));
    if (!bytes.isDouble() || !first.isDouble() || !object.value(QStringLiteral("pictures")).isDouble()
        || !object.value(QStringLiteral("sha256")).isString() || qint64(first.toDouble()) != match.captured(1).toLongLong())
        return -1;
    *recordPath = record;
    return qint64(bytes.toDouble());
}

// Why a segment does not end with a whole access unit; empty when it does. A segment with a
// record beside it must hold the bytes the record states (no decoding: a job's parts join as
// fast as they copy); any other has its last picture decoded. A segment that does not even
// open like a segment is left to the join, which says what is wrong with it.
QString cutProblem(const QString &segment, const std::atomic_bool &stop)
{
    QString record;
    const qint64 recorded = recordedBytes(segment, &record);
    if (recorded >= 0) {
        const qint64 size = QFileInfo(segment).size();
        if (size == recorded)
            return QString();
        return QStringLiteral("it holds %1 bytes, but its record %2 states %3: %4").arg(size).arg(record).arg(recorded)
            .arg(size < recorded ? QStringLiteral("its end is missing")
                                 : QStringLiteral("it was changed after its record was written"));
    }
    const StreamSummary head = StreamInspector::inspect(segment, 1);
    if (!head.problem.isEmpty() || !head.opensWithParameterSets || !head.opensWithRandomAccess)
        return QString();
    return LastPictureCheck::problem(segment, &stop);
}

// Whether the segments make one whole: each ends with a whole access unit and holds the
// pictures from the first its name gives up to the next one's, and all of them as many as
// expected. Empty when they do, else why not.
QString checkWhole(const QStringList &segments, qint64 expected, const std::atomic_bool &stop)
{
    QSet<QString> checked;
    for (const QString &segment : segments) {
        if (stop)
            return QString();
        if (checked.contains(QFileInfo(segment).absoluteFilePath()))
            continue;
        checked.insert(QFileInfo(segment).absoluteFilePath());
        const QString cut = cutProblem(segment, stop);
        if (!cut.isEmpty())
            return QStringLiteral("the segment %1 is not whole: %2").arg(segment, cut);
    }
    QList<qint64> firsts, counts;
    bool allNamed = true;
    for (const QString &segment : segments) {
        const QRegularExpressionMatch match = partName().match(QFileInfo(segment).fileName());
        allNamed = allNamed && match.hasMatch();
        firsts << (match.hasMatch() ? match.captured(1).toLongLong() : -1);
    }
    // Counting means reading every segment through: only when there is something to check.
    if (!allNamed && expected < 0)
        return QString();
    for (const QString &segment : segments) {
        if (stop)
            return QString();
        counts << StreamInspector::inspect(segment).pictures;
    }
    if (allNamed) {
        for (int i = 0; i + 1 < segments.size(); ++i) {
            const qint64 end = firsts.at(i) + counts.at(i);
            const qint64 next = firsts.at(i + 1);
            if (end < next)
                return QStringLiteral("the segments are not complete: pictures %1 to %2 are missing between %3 and %4")
                    .arg(end).arg(next - 1).arg(segments.at(i), segments.at(i + 1));
            if (end > next)
                return QStringLiteral("the segments overlap: %1 holds pictures %2 to %3, and %4 starts at picture %5")
                    .arg(segments.at(i)).arg(firsts.at(i)).arg(end - 1).arg(segments.at(i + 1)).arg(next);
        }
    }
    const qint64 total = std::accumulate(counts.begin(), counts.end(), qint64(0));
    if (expected >= 0 && total != expected)
        return QStringLiteral("the segments hold %1 pictures, not the %2 expected").arg(total).arg(expected);
    return QString();
}

} // namespace

int JoinCommand::run(const QString &output, const QStringList &segments, bool quiet, bool overwrite,
                     qint64 expected)
{
    for (const QString &segment : segments) {
        const QString reason = FileCheck::regularFileProblem(segment);
        if (!reason.isEmpty())
            return failWith(EX_NOINPUT, QStringLiteral("cannot read the segment %1: %2").arg(segment, reason));
    }
    const QString reason = FileCheck::writeProblem(output);
    if (!reason.isEmpty())
        return failWith(EX_CANTCREAT, QStringLiteral("cannot write the output %1: %2").arg(output, reason));
    for (int i = 0; i < segments.size(); ++i) {
        if (FileCheck::sameFile(output, segments.at(i)))
            return failWith(EX_CANTCREAT, QStringLiteral("the output %1 is segment %2 itself; nothing was "
                                                         "changed").arg(output).arg(i + 1));
    }
    if (!overwrite && QFileInfo::exists(output))
        return failWith(EX_CANTCREAT, QStringLiteral("the output %1 exists; nothing was changed (give "
                                                     "--overwrite to replace it)").arg(output));

    // The join runs on a thread of its own while this one waits in its event loop, so that
    // SIGINT, SIGTERM and SIGHUP are acted on at once: the join stops between two chunks and
    // leaves nothing behind.
    std::atomic_bool stop{false};
    int caught = 0;
    JoinResult result;
    QEventLoop loop;
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::caught, [&](int signalNumber) {
        if (caught == 0)
            caught = signalNumber;
        stop = true;
    });
    QString incomplete;
    QThread *worker = QThread::create([&] {
        incomplete = checkWhole(segments, expected, stop);
        if (incomplete.isEmpty() && !stop)
            result = SegmentJoiner::join(output, segments, &stop);
    });
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;

    if (!incomplete.isEmpty())
        return failWith(EX_DATAERR, incomplete + QStringLiteral("; nothing was written"));
    if (caught != 0 && !result.ok)
        return failWith(128 + caught, QStringLiteral("stopped by signal %1; %2 was not written")
                                          .arg(caught).arg(output));
    if (!result.ok)
        return failWith(result.outputFailed ? EX_IOERR : EX_DATAERR, result.error);
    if (caught != 0)
        return failWith(128 + caught, QStringLiteral("interrupted by signal %1 after the join was "
                                                     "complete; %2 is whole").arg(caught).arg(output));
    if (!quiet)
        printLine(QStringLiteral("Joined %1 segments into %2.").arg(result.segments).arg(output));
    return EX_OK;
}
