#include "joincommand.h"

#include "encoding/filecheck.h"
#include "job/signalwatcher.h"

#include "bitstream/segmentjoiner.h"
#include "bitstream/streaminspector.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
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

// Whether the segments make one whole: each holds the pictures from the first its name gives
// up to the next one's, and all of them as many as expected. Empty when they do, else why not.
QString checkWhole(const QStringList &segments, qint64 expected, const std::atomic_bool &stop)
{
    static const QRegularExpression named(QStringLiteral("^part_([0-9]+)\\.265$"));
    QList<qint64> firsts, counts;
    bool allNamed = true;
    for (const QString &segment : segments) {
        const QRegularExpressionMatch match = named.match(QFileInfo(segment).fileName());
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
