#include "joincommand.h"

#include "job/filecheck.h"
#include "job/signalwatcher.h"

#include "bitstream/segmentjoiner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include <atomic>
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

} // namespace

int JoinCommand::run(const QString &output, const QStringList &segments, bool quiet, bool overwrite)
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
    QThread *worker = QThread::create([&] { result = SegmentJoiner::join(output, segments, &stop); });
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;

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
