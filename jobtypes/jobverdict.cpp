#include "jobverdict.h"

#include "jobmessages.h"

JobVerdict JobVerdict::of(const JobResult &result)
{
    JobVerdict verdict;
    if (result.outcome == JobResult::Stopped) {
        verdict.kind = Stopped;
    } else if (result.outcome != JobResult::Finished) {
        verdict.reason = JobMessages::oneLine(result.message);
    } else if (!result.finishedElsewhere.isEmpty()) {
        verdict.kind = Elsewhere;
    } else if (result.encoderCrashed || result.exitCode != 0) {
        verdict.kind = EncoderFailed;
        verdict.encoderStatus = result.encoderCrashed ? 128 + result.exitCode : result.exitCode;
        verdict.reason = JobMessages::encoderEnd(result.exitCode, result.encoderCrashed);
    } else if (!result.outputProblem.isEmpty()) {
        verdict.kind = OutputUnusable;
        verdict.reason = JobMessages::oneLine(result.outputProblem);
    } else if (!result.picturesMissing.isEmpty()) {
        verdict.kind = PicturesMissing;
        verdict.reason = QStringLiteral("not every picture reached the encoder: %1")
                             .arg(JobMessages::oneLine(result.picturesMissing));
    } else {
        verdict.kind = Done;
    }
    return verdict;
}
