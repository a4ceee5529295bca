#ifndef PENDINGRESULT_H
#define PENDINGRESULT_H

#include "jobtypes/jobtypes.h"

#include <QString>

// The result a job in segments ends with, as it forms while its segments end: the first
// failure is the one told; an encoder that fails, or a segment that cannot be kept, ends the
// work as it would end a job in one piece; what is left to other processes, or done by one,
// ends it as finished.
struct PendingResult : JobResult
{
    // No segment is to start any more: the job failed, an encoder failed, or a segment cannot
    // be kept.
    bool halted() const { return failure != NoFailure || exitCode != 0 || !outputProblem.isEmpty(); }
    // Nothing is left to do once nothing of the job runs any more.
    bool settled() const { return halted() || encoderCrashed || !finishedElsewhere.isEmpty(); }
    bool failed() const { return failure != NoFailure; }
    bool leftToOthers() const { return !finishedElsewhere.isEmpty(); }

    // The job cannot go on; told unless another failure came first.
    void fail(Failure why, const QString &text);
    // A segment's run could not go on; told unless a failure or an encoder's failure came first.
    void runFailed(Failure why, const QString &text);
    // A segment's encoder failed: the job ends with its code (crashed: the signal's number),
    // unless a failure or another encoder's came first; false then.
    bool encoderFailed(int code, bool crashed);
    // A segment cannot be kept (line says why): the job ends with that, unless a failure or
    // another such segment came first; false then.
    bool cannotKeep(const QString &line);
    // Not every picture a segment's run meant to hand over reached its encoder (text says why);
    // the first such text is kept.
    void picturesMissed(const QString &text);
    // What is left of the job is another process's to do (line says so).
    void leave(const QString &line);
    // Another process made the output (line says so): all that came before is moot. False when
    // that was known already.
    bool madeElsewhere(const QString &line);
};

#endif // PENDINGRESULT_H
