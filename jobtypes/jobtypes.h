#ifndef JOBTYPES_H
#define JOBTYPES_H

#include "report/qualityreport.h"

#include <QMetaType>
#include <QString>

#include <limits>

// What one transcode is asked to do. Paths are taken relative to the current directory.
struct JobSettings
{
    QString input;           // on the raw route handed to the encoder exactly as given
    QString config;
    QString encoder;
    QString output;
    int rawWidth = 0;        // both non-zero: the raw route, the input goes to the encoder as is
    int rawHeight = 0;
    int rawFps = 0;          // frame rate of a raw input; 0 when not known
    qint64 startPicture = 0; // the first picture handed over (0: the input's first)
    qint64 pictureLimit = -1; // at most this many pictures; -1: to the end of the input
    // Set by a job in segments for a segment of a counted input: the timestamp of the picture
    // before the first one the run reads (startPicture, or the first of the pictures before it
    // that a temporal filter looks at), in the video stream's time base, so that a seek finds it.
    qint64 previousPictureTime = std::numeric_limits<qint64>::min();
    // A stretch of a longer encode (a segment, or a task whose bitstream is joined with others'):
    // an encoder whose temporal filter looks at the pictures around the one it codes is also
    // handed those of them that lie from contextFirst up to contextEnd (-1: the input's end), as
    // it would read them over the whole, and its configuration tells it which pictures to code.
    // -1: the encoder sees its stretch only.
    qint64 contextFirst = -1;
    qint64 contextEnd = -1;
    // Segments: up to this many encoders at once, each on its own segment of the input. One,
    // without a segment length, is a single encoder over the whole input unless inSegments asks
    // for segments all the same (one after another, resumable, shared with other processes).
    int parallelEncoders = 1;
    bool inSegments = false;
    qint64 segmentLength = 0; // pictures a segment; 0: chosen from the configuration
    bool fresh = false;       // discard the segments kept from an earlier run of the job
    // Segments held by other processes: false, this process waits for them and takes over
    // those whose holders go; true, it leaves them to their holders and ends.
    bool noWait = false;
    // Joins the work of a job in segments another process planned, and only that: without the
    // parts folder and its plan (the job is done and the folder gone) it leaves the job to
    // others rather than start it afresh.
    bool joinOnly = false;
    // Segments joined exactly or not at all: where the seams would be closed, or a seam's two
    // copies differ, the job in segments ends with seamsNotExact set rather than join the
    // closed way, so that its caller may encode the input in one piece instead.
    bool exactSeamsOnly = false;
    int qp = -1;              // handed to the encoder as -q after its other arguments; -1: none
    // Where the encoder's standard error goes: empty, this program's own; else appended to
    // this file (the null device for none).
    QString encoderErrors;
};

// How far the job has come; only plain values, so that it may cross threads.
struct JobProgress
{
    qint64 pictures = 0;           // given to the encoder so far
    qint64 total = 0;              // expected in all; 0 while unknown
    qint64 declaredTotal = 0;      // what the input declares it holds (from where the job starts); 0 when unknown
    double picturesPerSecond = 0;
    double secondsLeft = -1;       // -1 while unknown
    double elapsedSeconds = 0;
    int segmentsDone = 0;          // segments finished, kept ones included; 0 without segments
    int segmentsTotal = 0;
    // An encoder that reads its input twice gets a file written whole before it starts: while
    // no encoder runs yet, the pictures written into such files, out of how many (0: unknown).
    bool preparing = false;
    qint64 prepared = 0;
    qint64 preparedTotal = 0;
    // An input whose video stream states no picture count has its packets counted before it
    // is cut into segments: while that runs, the pictures counted so far.
    bool counting = false;
    qint64 counted = 0;
};

// How a job ended.
struct JobResult
{
    enum Outcome {
        Finished,             // the encoder ran and exited: exitCode holds its code
        Stopped,              // stopped on request
        Failed                // the job could not run: failure and message tell why
    };
    enum Failure {
        NoFailure,
        InputUnusable,        // missing, not a video, a folder or a device, no picture in it
        EncoderDidNotStart,
        OutputUnusable,       // the output is the input, the configuration or the encoder
        TemporaryUnusable,    // the temporary folder or the frame file cannot be used
        FramesNotWritten,     // the frame file could not take the pictures (disk full)
        StartPastEnd,         // the input ends before the first picture asked for
        PartsInUse,           // the job's kept segments are in use by a process with other settings
        PartsUnusable,        // the folder of kept segments cannot be made, read or written
        SegmentUnfit,         // a segment could not be checked or joined
        MuxFailed,            // the container could not be written; the bitstream is kept beside it
        EncoderStalled        // the encoder had every picture, then showed no sign of work for long: it was ended
    };

    Outcome outcome = Failed;
    Failure failure = NoFailure;
    int exitCode = 0;
    bool encoderCrashed = false; // the encoder was ended by a signal, whose number exitCode holds
    qint64 pictures = 0;      // pictures given to the encoder
    QString message;          // for a failure: what the user is told (file and reason)
    // Set when the encoder exited 0 but broke its side of the bargain: it wrote no output in
    // this run, or one without a single picture. What the user is told.
    QString outputProblem;
    // Set when the input ended before the pictures it declares: how many it declares.
    qint64 declaredPictures = 0;
    // Set when not every picture the job meant to hand over reached the encoder (the frame file
    // could not take more of them, or the picture size changed): why, in the words the user was
    // warned with; the encoder had `pictures` of picturesMeant (0: not known).
    QString picturesMissing;
    qint64 picturesMeant = 0;
    // Where the encoded bitstream is kept when it is not the output (the container could not be
    // written, or its writing was stopped); empty when it is not kept apart.
    QString keptAs;
    // Segments: how many the job has, and how many are finished and kept on disk.
    int segmentsTotal = 0;
    int segmentsKept = 0;
    // Set when every segment was finished but another process makes (or made) the output.
    QString finishedElsewhere;
    // Set when a job with exactSeamsOnly ended without an output because its seams would not
    // be exact: why.
    QString seamsNotExact;
    // CPU time (user and system) of the encoders of the output's pictures, summed over its
    // segments, those other processes encoded included; 0 when not known.
    double encoderCpuSeconds = 0;
    // Once the encoder ran: the pictures it reported, with the summary of the output.
    QualityReport report;
};

Q_DECLARE_METATYPE(JobProgress)
Q_DECLARE_METATYPE(JobResult)

#endif // JOBTYPES_H
