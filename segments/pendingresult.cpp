#include "pendingresult.h"

void PendingResult::fail(Failure why, const QString &text)
{
    if (failure != NoFailure)
        return;
    outcome = Failed;
    failure = why;
    message = text;
}

void PendingResult::runFailed(Failure why, const QString &text)
{
    if (exitCode == 0)
        fail(why, text);
}

bool PendingResult::encoderFailed(int code, bool crashed)
{
    if (failure != NoFailure || exitCode != 0)
        return false;
    outcome = Finished;
    exitCode = code;
    encoderCrashed = crashed;
    return true;
}

bool PendingResult::cannotKeep(const QString &line)
{
    if (!outputProblem.isEmpty() || failure != NoFailure)
        return false;
    outcome = Finished;
    outputProblem = line;
    return true;
}

void PendingResult::picturesMissed(const QString &text)
{
    if (picturesMissing.isEmpty())
        picturesMissing = text;
}

void PendingResult::leave(const QString &line)
{
    outcome = Finished;
    finishedElsewhere = line;
}

bool PendingResult::madeElsewhere(const QString &line)
{
    if (!finishedElsewhere.isEmpty())
        return false;
    static_cast<JobResult &>(*this) = JobResult();
    leave(line);
    return true;
}
