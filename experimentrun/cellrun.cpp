#include "cellrun.h"

#include "jobtypes/jobmessages.h"
#include "jobtypes/jobverdict.h"

#include <QDateTime>

namespace {

// Lines of the log a failed cell's record keeps.
constexpr int keptLines = 12;
// What begins a run's heading in the log.
constexpr char headingMark[] = "== ";

} // namespace

QByteArray CellRun::logHeading(const QString &heading)
{
    return headingMark + QStringLiteral("%1 %2").arg(QDateTime::currentDateTime().toString(Qt::ISODate), heading).toUtf8();
}

bool CellRun::isLogHeading(QByteArrayView line)
{
    return line.startsWith(headingMark);
}

CellRun::CellRun(const JobSettings &settings, const QString &logPath, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , logFile(logPath)
{
    qRegisterMetaType<CellRun::Outcome>();
    connect(&job, &TranscodeJob::commandLineReady, this, [this](const QString &line) { log(line.toUtf8() + '\n'); });
    connect(&job, &TranscodeJob::message, this, [this](const QString &line) { log(line.toUtf8() + '\n'); });
    connect(&job, &TranscodeJob::encoderOutput, this, &CellRun::logOutput);
    connect(&job, &TranscodeJob::warning, this, [this](const QString &, const QString &text) {
        log("Warning: " + JobMessages::oneLine(text).toUtf8() + '\n');
    });
    connect(&job, &TranscodeJob::progressChanged, this, [this](const JobProgress &now) { progress = now; });
    connect(&job, &TranscodeJob::finished, this, &CellRun::ended);
}

CellRun::~CellRun()
{
    abort();
}

void CellRun::start(const QString &heading)
{
    // Appended, never rewritten: a cell's log keeps every run, and the encoders' standard
    // error goes into the same file.
    if (logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        logStart = logFile.size();
    log('\n' + logHeading(heading) + '\n');
    job.start(settings);
}

void CellRun::abort()
{
    job.abort();
}

int CellRun::encoders() const
{
    const int setting = qMax(1, settings.parallelEncoders);
    if (progress.segmentsTotal <= 0)
        return setting;
    return qBound(1, progress.segmentsTotal - progress.segmentsDone, setting);
}

// Each write is whole lines: the log is shared with the encoders' standard error and with the
// jobs of other processes helping with the cell's segments, and a line written in two pieces
// would have their lines inside it.
void CellRun::log(const QByteArray &bytes)
{
    if (logFile.isOpen())
        logFile.write(bytes);
}

void CellRun::logOutput(const QByteArray &bytes)
{
    outputLine += bytes;
    const qsizetype end = outputLine.lastIndexOf('\n') + 1;
    if (end == 0)
        return;
    log(outputLine.left(end));
    outputLine.remove(0, end);
}

QStringList CellRun::lastLogLines(int count) const
{
    QFile file(logFile.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 from = qMax(logStart, file.size() - 8192);
    file.seek(from);
    QStringList lines;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty() && !isLogHeading(line))
            lines << QString::fromUtf8(line).trimmed();
    return lines.mid(qMax(0, int(lines.size()) - count));
}

void CellRun::ended(const JobResult &result)
{
    if (!outputLine.isEmpty())
        log(outputLine + '\n');
    outputLine.clear();
    const JobVerdict verdict = JobVerdict::of(result);
    Outcome outcome;
    outcome.result = result;
    if (!result.seamsNotExact.isEmpty()) {
        outcome.kind = Outcome::NotCut;
        outcome.reason = result.seamsNotExact;
        logFile.close();
        emit finished(outcome);
        return;
    }
    switch (verdict.kind) {
    case JobVerdict::Done:
        outcome.kind = Outcome::Made;
        break;
    case JobVerdict::Elsewhere:
        outcome.kind = Outcome::Elsewhere;
        break;
    case JobVerdict::Stopped:
        outcome.kind = Outcome::Stopped;
        break;
    case JobVerdict::EncoderFailed:
    case JobVerdict::OutputUnusable:
    case JobVerdict::PicturesMissing:
    case JobVerdict::Failed:
        outcome.kind = Outcome::Failed;
        outcome.exitCode = verdict.encoderStatus;
        outcome.reason = verdict.reason;
        log(QStringLiteral("The cell failed: %1\n").arg(JobMessages::closing(outcome.reason)).toUtf8());
        outcome.lastLines = lastLogLines(keptLines);
        break;
    }
    logFile.close();
    emit finished(outcome);
}
