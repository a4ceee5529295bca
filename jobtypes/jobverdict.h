#ifndef JOBVERDICT_H
#define JOBVERDICT_H

#include "jobtypes.h"

#include <QString>

// What a job's result comes to for whoever asked for the job, told by one function for every
// caller: the command line's exit status, the window's message and an experiment cell's outcome
// are each this verdict in their own terms.
struct JobVerdict
{
    enum Kind {
        Done,             // the encoder exited 0 and the output is made
        Elsewhere,        // every segment is done, and another process makes (or made) the output
        EncoderFailed,    // the encoder exited with another code, or was ended by a signal
        OutputUnusable,   // the encoder exited 0, yet there is no usable output
        PicturesMissing,  // not every picture meant for the encoder reached it
        Stopped,          // stopped on request
        Failed            // the job could not run
    };
    Kind kind = Failed;
    // EncoderFailed: the status a shell would give the encoder (its code, or 128 + the signal's).
    int encoderStatus = 0;
    // Why, in one line, for anything but Done, Elsewhere and Stopped.
    QString reason;

    bool succeeded() const { return kind == Done || kind == Elsewhere; }
    // Whether the encoder ran to its end (whatever became of the output): neither stopped nor
    // failed to run.
    bool encoderRan() const { return kind != Stopped && kind != Failed; }

    // The result's verdict. A stop comes first, then a job that could not run; of a job whose
    // encoders ran, another process's making of the output, then an encoder that failed, an
    // output that cannot be used and pictures that did not reach the encoder, in that order.
    static JobVerdict of(const JobResult &result);
};

#endif // JOBVERDICT_H
