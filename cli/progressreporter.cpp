#include "progressreporter.h"

#include "report/qualityreport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include <unistd.h>

namespace {

// Between two lines of the periodic style.
constexpr qint64 periodMs = 5000;

const char clearLine[] = "\r\033[K";

// Dividing by the whole number of steps in one gives the double nearest to the decimal, which
// JSON then prints as it reads ("3.8", never "3.8000000000000003").
double rounded(double value, double step)
{
    return std::round(value / step) / std::round(1 / step);
}

} // namespace

ProgressReporter::ProgressReporter(Style style)
    : style(style)
    , outputSharesTerminal(::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO))
    , outputStream(STDOUT_FILENO)
    , errorStream(STDERR_FILENO)
{
}

void ProgressReporter::setInterruptDescriptor(int fd)
{
    outputStream.setInterruptDescriptor(fd);
    errorStream.setInterruptDescriptor(fd);
}

void ProgressReporter::setStopping()
{
    outputStream.setStopping();
    errorStream.setStopping();
}

void ProgressReporter::writeError(const QByteArray &bytes)
{
    errorStream.write(bytes);
}

ProgressReporter::Style ProgressReporter::textStyle()
{
    return ::isatty(STDERR_FILENO) ? Live : Periodic;
}

void ProgressReporter::update(const JobProgress &progress)
{
    latest = progress;
    haveProgress = true;
    switch (style) {
    case Live:
        drawStatus();
        break;
    case Periodic:
        if (!sincePrinted.isValid()) {
            sincePrinted.start();
        } else if (sincePrinted.elapsed() >= periodMs) {
            sincePrinted.start();
            writeError(statusText(progress).toLocal8Bit() + '\n');
        }
        break;
    case Json:
        writeError(jsonLine(progress, false, 0));
        break;
    case Silent:
        break;
    }
}

void ProgressReporter::finish(const JobProgress &progress, bool complete, int exitStatus)
{
    JobProgress last = progress;
    if (complete)
        last.total = last.pictures;
    last.secondsLeft = complete ? 0 : -1;
    if (style == Json)
        writeError(jsonLine(last, true, exitStatus));
    else if (style == Live)
        clearStatus();
    haveProgress = false;
}

void ProgressReporter::printLine(const QString &line)
{
    clearStatus();
    writeError(line.toLocal8Bit() + '\n');
    drawStatus();
}

void ProgressReporter::writeOutput(const QByteArray &bytes)
{
    if (outputBroken || bytes.isEmpty())
        return;
    if (outputSharesTerminal)
        clearStatus();
    // A reader that went away (a closed pipe), or one that does not read while the program
    // stops, ends the copy, not the job.
    if (outputStream.write(bytes) != StandardStream::Written)
        outputBroken = true;
    outputAtLineStart = bytes.endsWith('\n');
    if (outputSharesTerminal)
        drawStatus();
}

QString ProgressReporter::statusText(const JobProgress &progress) const
{
    // The input's pictures are counted before it is cut into segments.
    if (progress.counting)
        return QStringLiteral("Counting pictures: %1  %2 elapsed")
            .arg(progress.counted).arg(QualityReport::clockText(progress.elapsedSeconds));
    // The encoder reads a file written whole before it starts: the pictures going into it.
    if (progress.preparing)
        return (progress.preparedTotal > 0
                    ? QStringLiteral("preparing %1/%2 pictures").arg(progress.prepared).arg(progress.preparedTotal)
                    : QStringLiteral("preparing %1 pictures").arg(progress.prepared))
            + QStringLiteral("  %1 elapsed").arg(QualityReport::clockText(progress.elapsedSeconds));
    QString text = progress.total > 0
                       ? QStringLiteral("%1/%2 pictures (%3%)")
                             .arg(progress.pictures)
                             .arg(progress.total)
                             .arg(qMin<qint64>(100, progress.pictures * 100 / progress.total))
                       : QStringLiteral("%1 pictures").arg(progress.pictures);
    if (progress.segmentsTotal > 0)
        text += QStringLiteral("  %1/%2 segments").arg(progress.segmentsDone).arg(progress.segmentsTotal);
    text += QStringLiteral("  %1 fps  %2 elapsed")
                .arg(progress.picturesPerSecond, 0, 'f', 1)
                .arg(QualityReport::clockText(progress.elapsedSeconds));
    if (progress.secondsLeft >= 0)
        text += QStringLiteral("  %1 left").arg(QualityReport::clockText(progress.secondsLeft));
    return text;
}

QByteArray ProgressReporter::jsonLine(const JobProgress &progress, bool final, int exitStatus) const
{
    QJsonObject object;
    object.insert(QStringLiteral("pictures"), progress.pictures);
    object.insert(QStringLiteral("total"), progress.total);
    object.insert(QStringLiteral("declared_total"),
                  progress.declaredTotal > 0 ? QJsonValue(progress.declaredTotal) : QJsonValue());
    object.insert(QStringLiteral("percent"), progress.total > 0
                                                 ? QJsonValue(rounded(100.0 * progress.pictures / progress.total, 0.1))
                                                 : QJsonValue());
    object.insert(QStringLiteral("fps"), rounded(progress.picturesPerSecond, 0.01));
    object.insert(QStringLiteral("eta_s"), progress.secondsLeft >= 0
                                               ? QJsonValue(rounded(progress.secondsLeft, 0.1))
                                               : QJsonValue());
    object.insert(QStringLiteral("elapsed_s"), rounded(progress.elapsedSeconds, 0.01));
    if (progress.segmentsTotal > 0) {
        object.insert(QStringLiteral("segments_done"), progress.segmentsDone);
        object.insert(QStringLiteral("segments_total"), progress.segmentsTotal);
    }
    if (progress.counting) {
        object.insert(QStringLiteral("counting"), true);
        object.insert(QStringLiteral("counted"), progress.counted);
    }
    if (progress.preparing) {
        object.insert(QStringLiteral("preparing"), true);
        object.insert(QStringLiteral("prepared"), progress.prepared);
    }
    if (final) {
        object.insert(QStringLiteral("final"), true);
        object.insert(QStringLiteral("status"), exitStatus);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

void ProgressReporter::clearStatus()
{
    if (!statusShown)
        return;
    writeError(clearLine);
    statusShown = false;
}

void ProgressReporter::drawStatus()
{
    // Never in the middle of a line of the encoder's on the same terminal.
    if (style != Live || !haveProgress || (outputSharesTerminal && !outputAtLineStart))
        return;
    writeError(clearLine + statusText(latest).toLocal8Bit());
    statusShown = true;
}
