#include "transcodejob.h"

#include "onepiece.h"

#include "bitstream/librarylog.h"
#include "decode/videodecoder.h"
#include "encoderrun/encoderrun.h"
#include "files/filecheck.h"
#include "files/pathtext.h"
#include "jobtypes/joboutput.h"
#include "segments/segmentscheduler.h"

using PathText::absolute;
using PathText::native;

TranscodeJob::TranscodeJob(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<JobProgress>();
    qRegisterMetaType<JobResult>();
    // The libraries' and the decoder's lines go into the log, never straight to the terminal.
    LibraryLog::install();
    decoderErrorsToLogger();
}

TranscodeJob::~TranscodeJob()
{
    abort();
}

void TranscodeJob::retire(JobPath *way)
{
    way->disconnect(this);
    retired.emplace_back(way);
}

QString TranscodeJob::outputProblem(const JobSettings &settings)
{
    const struct { const QString &path; const char *role; } others[] = {
        {settings.input, "input file"},
        {settings.config, "configuration file"},
        {settings.encoder, "encoder program"},
    };
    for (const auto &other : others) {
        // The files themselves are compared, so a hard link is caught as well as a symbolic one.
        if (!other.path.isEmpty() && FileCheck::sameFile(other.path, settings.output))
            return QStringLiteral("The output file %1 is the %2.\nChoose another output file; nothing was changed.")
                .arg(native(absolute(settings.output)), QLatin1String(other.role));
    }
    const QString problem = FileCheck::writeProblem(settings.output);
    if (!problem.isEmpty())
        return QStringLiteral("Cannot write the output file %1:\n%2.").arg(native(absolute(settings.output)), problem);
    return JobOutput::containerProblem(settings);
}

void TranscodeJob::start(const JobSettings &jobSettings)
{
    if (running)
        return;
    retired.clear();
    settings = jobSettings;
    running = true;
    stopping = false;
    clock.start();
    const QString problem = outputProblem(settings);
    if (!problem.isEmpty()) {
        JobResult failed;
        failed.outcome = JobResult::Failed;
        failed.failure = JobResult::OutputUnusable;
        failed.message = problem;
        ended(failed);
        return;
    }
    EncoderRun::sweepAbandonedFolders();
    if (settings.parallelEncoders > 1 || settings.segmentLength > 0 || settings.inSegments)
        startSegments();
    else
        startOnePiece();
}

void TranscodeJob::startOnePiece()
{
    begin(new OnePiece(settings, clock, this));
}

void TranscodeJob::startSegments()
{
    auto *segments = new SegmentScheduler(settings, clock, this);
    // An input that cannot be cut runs in one piece, which says what is wrong with it.
    connect(segments, &SegmentScheduler::inOnePiece, this, [this, segments] {
        retire(segments);
        path = nullptr;
        if (stopping) {
            JobResult stopped;
            stopped.outcome = JobResult::Stopped;
            ended(stopped);
            return;
        }
        startOnePiece();
    });
    begin(segments);
}

void TranscodeJob::begin(JobPath *way)
{
    path = way;
    connect(path, &JobPath::commandLineReady, this, &TranscodeJob::commandLineReady);
    connect(path, &JobPath::progressChanged, this, &TranscodeJob::progressChanged);
    connect(path, &JobPath::encoderOutput, this, &TranscodeJob::encoderOutput);
    connect(path, &JobPath::message, this, &TranscodeJob::message);
    connect(path, &JobPath::warning, this, &TranscodeJob::warning);
    connect(path, &JobPath::finished, this, &TranscodeJob::ended);
    path->start();
}

// The result is a copy: the way that ended owns what it handed over.
void TranscodeJob::ended(JobResult result)
{
    if (path) {
        retire(path);
        path = nullptr;
    }
    running = false;
    emit finished(result);
}

void TranscodeJob::stop()
{
    if (!running || stopping)
        return;
    stopping = true;
    if (path)
        path->stop();
}

void TranscodeJob::abort()
{
    if (!running)
        return;
    stopping = true;
    if (path) {
        path->abort();
        delete path;
        path = nullptr;
    }
    running = false;
}
