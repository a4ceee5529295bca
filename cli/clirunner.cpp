#include "clirunner.h"

#include "bitstream/librarylog.h"
#include "files/filecheck.h"
#include "jobtypes/jobmessages.h"
#include "jobtypes/jobverdict.h"

#include <QFileInfo>
#include <QStringList>

#include <csignal>

#include <sysexits.h>

namespace {

QString signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

int failureStatus(JobResult::Failure failure)
{
    switch (failure) {
    case JobResult::InputUnusable:
        return EX_NOINPUT;
    case JobResult::EncoderDidNotStart:
        return EX_UNAVAILABLE;
    case JobResult::OutputUnusable:
        return EX_CANTCREAT;
    case JobResult::TemporaryUnusable:
        return EX_TEMPFAIL;
    case JobResult::FramesNotWritten:
    case JobResult::MuxFailed:
        return EX_IOERR;
    case JobResult::StartPastEnd:
        return EX_USAGE;
    case JobResult::PartsInUse:
    case JobResult::PartsUnusable:
        return EX_CANTCREAT;
    case JobResult::SegmentUnfit:
        return EX_DATAERR;
    case JobResult::EncoderStalled:
        return EX_PROTOCOL;
    case JobResult::NoFailure:
        break;
    }
    return EX_SOFTWARE;
}

ProgressReporter::Style reporterStyle(CliOptions::Progress progress)
{
    switch (progress) {
    case CliOptions::ProgressText:
        return ProgressReporter::textStyle();
    case CliOptions::ProgressJson:
        return ProgressReporter::Json;
    case CliOptions::ProgressNone:
        break;
    }
    return ProgressReporter::Silent;
}

} // namespace

CliRunner::CliRunner(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , reporter(reporterStyle(options.progress()))
{
    connect(&watcher, &SignalWatcher::caught, this, &CliRunner::onSignal);
    // A reader of standard output or error that does not read must not keep a signal from
    // stopping the job.
    reporter.setInterruptDescriptor(watcher.pendingDescriptor());
    connect(&job, &TranscodeJob::commandLineReady, this, &CliRunner::report);
    connect(&job, &TranscodeJob::message, this, &CliRunner::report);
    // A warning means the input ended early for the encoder (the frame file could not take
    // more pictures, or the picture size changed): the output misses pictures, which the
    // result tells again.
    connect(&job, &TranscodeJob::warning, this, [this](const QString &, const QString &text) {
        reporter.printLine(QStringLiteral("morlunex-cli: warning: ") + JobMessages::oneLine(text));
    });
    // The encoder's own lines: to standard output as they come, into the file --encoder-log
    // names, or nowhere with -q.
    connect(&job, &TranscodeJob::encoderOutput, this, [this](const QByteArray &bytes) {
        if (encoderLog.isOpen())
            encoderLog.write(bytes);
        else if (!this->options.quiet())
            reporter.writeOutput(bytes);
    });
    connect(&job, &TranscodeJob::progressChanged, this, &CliRunner::onProgress);
    connect(&job, &TranscodeJob::finished, this, &CliRunner::onFinished);
}

void CliRunner::start()
{
    if (ended)
        return;
    clock.start();
    if (!watcher.isValid())
        reporter.printLine(QStringLiteral("morlunex-cli: warning: signals cannot be caught; an "
                                          "interrupt will not stop the encoder first"));
    QString problem;
    const int status = checkFiles(options, &problem);
    if (status != EX_OK) {
        end(status, problem);
        return;
    }
    if (!options.encoderLog().isEmpty()) {
        encoderLog.setFileName(options.encoderLog());
        if (!encoderLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            end(EX_CANTCREAT, QStringLiteral("cannot write the encoder's log %1: %2")
                                  .arg(options.encoderLog(), encoderLog.errorString()));
            return;
        }
    }
    job.start(options.settings());
}

int CliRunner::checkFiles(const CliOptions &options, QString *problem)
{
    const JobSettings &settings = options.settings();
    QString reason = FileCheck::readProblem(settings.input);
    if (!reason.isEmpty()) {
        *problem = QStringLiteral("cannot read the input %1: %2").arg(settings.input, reason);
        return EX_NOINPUT;
    }
    reason = FileCheck::readProblem(settings.config);
    if (!reason.isEmpty()) {
        *problem = QStringLiteral("cannot read the encoder configuration %1: %2").arg(settings.config, reason);
        return EX_NOINPUT;
    }
    reason = FileCheck::runProblem(settings.encoder);
    if (!reason.isEmpty()) {
        *problem = QStringLiteral("cannot run the encoder %1: %2").arg(settings.encoder, reason);
        return EX_UNAVAILABLE;
    }
    reason = FileCheck::writeProblem(settings.output);
    if (!reason.isEmpty()) {
        *problem = QStringLiteral("cannot write the output %1: %2").arg(settings.output, reason);
        return EX_CANTCREAT;
    }
    // The output is not one of the files the job reads, through links too.
    reason = TranscodeJob::outputProblem(settings);
    if (!reason.isEmpty()) {
        *problem = JobMessages::oneLine(reason);
        return EX_CANTCREAT;
    }
    reason = reportFileProblem(options);
    if (!reason.isEmpty()) {
        *problem = QStringLiteral("cannot write the report %1: %2").arg(options.reportPath(), reason);
        return EX_CANTCREAT;
    }
    return EX_OK;
}

QString CliRunner::reportFileProblem(const CliOptions &options)
{
    const QString report = options.reportPath();
    if (report.isEmpty())
        return QString();
    const JobSettings &settings = options.settings();
    const auto same = [](const QString &one, const QString &other) {
        const QFileInfo a(one), b(other);
        return a.absoluteFilePath() == b.absoluteFilePath()
               || (a.exists() && b.exists() && a.canonicalFilePath() == b.canonicalFilePath());
    };
    if (same(report, settings.output))
        return QStringLiteral("it is the output file");
    if (same(report, settings.input) || same(report, settings.config) || same(report, settings.encoder))
        return QStringLiteral("it is the input, the configuration or the encoder");
    return FileCheck::writeProblem(report);
}

int CliRunner::saveReport(const JobResult &result, QString *problem) const
{
    // A job that never got the encoder going has nothing to report.
    if (options.reportPath().isEmpty() || (result.outcome == JobResult::Failed && result.report.rowCount() == 0))
        return EX_OK;
    QString error;
    if (result.report.save(options.reportPath(), &error))
        return EX_OK;
    *problem = QStringLiteral("cannot write the report %1: %2").arg(options.reportPath(), error);
    return EX_CANTCREAT;
}

QString CliRunner::closingLine(const JobResult &result) const
{
    if (!options.isSweepPoint())
        return result.report.summaryLine();
    return QStringLiteral("QP %1: %2 (%3)")
        .arg(QString::number(options.settings().qp), result.report.rateLine(), options.settings().output);
}

void CliRunner::report(const QString &line)
{
    // The libraries' lines belong with the encoder's in its log, when it has one.
    if (encoderLog.isOpen() && LibraryLog::isLibraryLine(line))
        encoderLog.write(line.toUtf8() + '\n');
    if (!options.quiet())
        reporter.printLine(line);
}

void CliRunner::onProgress(const JobProgress &progress)
{
    lastProgress = progress;
    reporter.update(progress);
}

// The exit status a job's result gives, and the failure's line: the job's verdict in the
// command line's terms, a signal caught first.
int CliRunner::statusOf(const JobResult &result, QString *failure) const
{
    if (caughtSignal != 0) {
        *failure = QStringLiteral("stopped by %1 after %2 pictures")
                      .arg(signalName(caughtSignal)).arg(result.pictures);
        if (result.segmentsTotal > 0 && result.finishedElsewhere.isEmpty())
            *failure += QStringLiteral("; %1 of %2 segments are kept: run the same command again to go on")
                           .arg(result.segmentsKept).arg(result.segmentsTotal);
        return 128 + caughtSignal;
    }
    const JobVerdict verdict = JobVerdict::of(result);
    switch (verdict.kind) {
    case JobVerdict::Done:
        if (result.declaredPictures > 0 && options.strict()) {
            *failure = QStringLiteral("the input %1 ended after %2 of the %3 pictures it declares (--strict)")
                          .arg(options.settings().input)
                          .arg(options.settings().startPicture + result.pictures)
                          .arg(options.settings().startPicture + result.declaredPictures);
            return EX_IOERR;
        }
        return EX_OK;
    case JobVerdict::Elsewhere:
        return EX_OK;
    case JobVerdict::EncoderFailed:
        // As a shell reports a program ended by a signal.
        *failure = verdict.reason;
        return verdict.encoderStatus;
    case JobVerdict::OutputUnusable:
        // The encoder said it succeeded, yet there is nothing to show for it.
        *failure = verdict.reason;
        return EX_PROTOCOL;
    case JobVerdict::PicturesMissing:
        *failure = QStringLiteral("not every picture reached the encoder: %1 holds the first %2")
                      .arg(options.settings().output).arg(result.pictures);
        return EX_IOERR;
    case JobVerdict::Failed:
        return failedStatus(result, failure);
    case JobVerdict::Stopped:
        break;
    }
    *failure = QStringLiteral("the job stopped after %1 pictures").arg(result.pictures);
    return EX_SOFTWARE;
}

int CliRunner::failedStatus(const JobResult &result, QString *failure)
{
    *failure = JobMessages::oneLine(result.message);
    // The job's first line asks the window's user to pick another file; the reason comes last.
    if (result.failure == JobResult::InputUnusable)
        *failure = QStringLiteral("cannot use the input: ")
                  + JobMessages::oneLine(result.message.section(QLatin1Char('\n'), -1, -1, QString::SectionSkipEmpty));
    else if (result.failure == JobResult::StartPastEnd && !failure->isEmpty())
        (*failure)[0] = failure->at(0).toLower();
    return failureStatus(result.failure);
}

void CliRunner::onFinished(const JobResult &result)
{
    if (ended)
        return;
    JobProgress final = lastProgress;
    final.pictures = result.pictures;
    final.elapsedSeconds = clock.elapsed() / 1000.0;
    final.picturesPerSecond = final.elapsedSeconds > 0 ? final.pictures / final.elapsedSeconds : 0;

    QString failure;
    int status = statusOf(result, &failure);
    // The job's message about a short input is a message like any other; a quiet run still
    // owes the user this one, for the output lacks what the input promised.
    if (result.declaredPictures > 0 && options.quiet() && status == EX_OK)
        reporter.printLine(QStringLiteral("morlunex-cli: warning: the input %1 ended after %2 of the %3 "
                                          "pictures it declares")
                               .arg(options.settings().input)
                               .arg(options.settings().startPicture + result.pictures)
                               .arg(options.settings().startPicture + result.declaredPictures));
    QString reportProblem;
    if (saveReport(result, &reportProblem) != EX_OK) {
        if (status == EX_OK) {
            status = EX_CANTCREAT;
            failure = reportProblem;
        } else {
            reporter.printLine(QStringLiteral("morlunex-cli: warning: ") + reportProblem);
        }
    }
    reporter.finish(final, status == EX_OK, status);

    // A job another process finishes has said so among its messages.
    if (status == EX_OK && result.finishedElsewhere.isEmpty() && !options.quiet()) {
        reporter.printLine(closingLine(result));
    }
    end(status, failure);
}

void CliRunner::onSignal(int signalNumber)
{
    if (ended)
        return;
    const bool first = caughtSignal == 0;
    if (first)
        caughtSignal = signalNumber;
    reporter.setStopping();
    if (job.isRunning() && first) {
        // Stops like the window's stop button; finished() follows once the encoder has gone.
        job.stop();
        return;
    }
    // Not started yet, or asked twice: end now. abort() still ends the encoder and removes
    // the private folder before it returns.
    job.abort();
    reporter.finish(lastProgress, false, 128 + caughtSignal);
    end(128 + caughtSignal, QStringLiteral("stopped by %1").arg(signalName(caughtSignal)));
}

void CliRunner::end(int status, const QString &failure)
{
    if (ended)
        return;
    ended = true;
    if (!failure.isEmpty())
        reporter.printLine(QStringLiteral("morlunex-cli: ") + failure);
    emit done(status);
}
