#include "joincommand.h"

#include "filecheck.h"

#include "bitstream/segmentjoiner.h"
#include "job/signalwatcher.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

#include <sys/stat.h>
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

// Through links of both kinds.
bool sameFile(const QString &first, const QString &second)
{
    struct stat one, other;
    return ::stat(QFile::encodeName(first).constData(), &one) == 0
           && ::stat(QFile::encodeName(second).constData(), &other) == 0 && one.st_dev == other.st_dev
           && one.st_ino == other.st_ino;
}

} // namespace

int JoinCommand::run(const QString &output, const QStringList &segments, bool quiet)
{
    for (const QString &segment : segments) {
        const QString reason = FileCheck::readProblem(segment);
        if (!reason.isEmpty())
            return failWith(EX_NOINPUT, QStringLiteral("cannot read the segment %1: %2").arg(segment, reason));
    }
    const QString reason = FileCheck::writeProblem(output);
    if (!reason.isEmpty())
        return failWith(EX_CANTCREAT, QStringLiteral("cannot write the output %1: %2").arg(output, reason));
    for (int i = 0; i < segments.size(); ++i) {
        if (sameFile(output, segments.at(i)))
            return failWith(EX_CANTCREAT, QStringLiteral("the output %1 is segment %2 itself; nothing was "
                                                         "changed").arg(output).arg(i + 1));
    }

    // The join cannot be broken off half way, and a process ended by a signal would leave its
    // unfinished copy beside the output: a signal is acted on once the join has returned.
    int caught = 0;
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::caught, [&caught](int signalNumber) {
        if (caught == 0)
            caught = signalNumber;
    });
    const JoinResult result = SegmentJoiner::join(output, segments);
    QCoreApplication::processEvents();

    if (!result.ok)
        return failWith(EX_DATAERR, result.error);
    if (caught != 0)
        return failWith(128 + caught, QStringLiteral("interrupted by signal %1 after the join was "
                                                     "complete; %2 is whole").arg(caught).arg(output));
    if (!quiet)
        printLine(QStringLiteral("Joined %1 segments into %2.").arg(result.segments).arg(output));
    return EX_OK;
}
