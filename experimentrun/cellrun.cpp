#include "cellrun.h"

#include "parts/partclaim.h"

#include <QDateTime>

namespace {

// Lines of the log a failed cell's record keeps.
constexpr int keptLines = 12;

QString oneLine(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.trimmed();
    return lines.join(QLatin1Char(' '));
}

} // namespace

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
        incomplete = true;
        warningText = oneLine(text);
        log("Warning: " + warningText.toUtf8() + '\n');
    });
    connect(&job, &TranscodeJob::progressChanged, this, [this](const JobProgress &now) {
        progress = now;
        // The job has opened the parts folder once it counts its segments: the segment held
        // for it is its own to take from here on.
        if (held && now.segmentsTotal > 0)
            held.reset();
    });
    connect(&job, &TranscodeJob::finished, this, &CellRun::ended);
}

CellRun::~CellRun()
{
    abort();
}

void CellRun::holdUntilOpened(std::unique_ptr<PartClaim> claim)
{
    held = std::move(claim);
}

void CellRun::start(const QString &heading)
{
    // Appended, never rewritten: a cell's log keeps every run, and the encoders' standard
    // error goes into the same file.
    if (logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        logStart = logFile.size();
    log(QStringLiteral("\n== %1 %2\n").arg(QDateTime::currentDateTime().toString(Qt::ISODate), heading).toUtf8());
    job.start(settings);
}

void CellRun::abort()
{
    job.abort();
    held.reset();
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
        if (!line.trimmed().isEmpty() && !line.startsWith("== "))
            lines << QString::fromUtf8(line).trimmed();
    return lines.mid(qMax(0, int(lines.size()) - count));
}

void CellRun::ended(const JobResult &result)
{
    held.reset();
    if (!outputLine.isEmpty())
        log(outputLine + '\n');
    outputLine.clear();
    Outcome outcome;
    outcome.result = result;
    if (result.outcome == JobResult::Stopped) {
        outcome.kind = Outcome::Stopped;
    } else if (result.outcome == JobResult::Finished && !result.finishedElsewhere.isEmpty()) {
        outcome.kind = Outcome::Elsewhere;
    } else if (result.outcome == JobResult::Finished && result.encoderCrashed) {
        outcome.exitCode = 128 + result.exitCode;
        outcome.reason = QStringLiteral("the encoder was ended by signal %1").arg(result.exitCode);
    } else if (result.outcome == JobResult::Finished && result.exitCode != 0) {
        outcome.exitCode = result.exitCode;
        outcome.reason = QStringLiteral("the encoder exited with code %1").arg(result.exitCode);
    } else if (result.outcome == JobResult::Finished && !result.outputProblem.isEmpty()) {
        outcome.reason = oneLine(result.outputProblem);
    } else if (result.outcome == JobResult::Finished && incomplete) {
        outcome.reason = QStringLiteral("not every picture reached the encoder: %1").arg(warningText);
    } else if (result.outcome == JobResult::Finished) {
        outcome.kind = Outcome::Made;
    } else {
        outcome.reason = oneLine(result.message);
    }
    if (outcome.kind == Outcome::Failed) {
        log(QStringLiteral("The cell failed: %1.\n").arg(outcome.reason).toUtf8());
        outcome.lastLines = lastLogLines(keptLines);
    }
    logFile.close();
    emit finished(outcome);
}
