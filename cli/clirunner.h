#ifndef CLIRUNNER_H
#define CLIRUNNER_H

#include "clioptions.h"
#include "progressreporter.h"

#include "job/transcodejob.h"
#include "process/signalwatcher.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>

// One transcode from the command line: checks what can be checked before any work starts,
// runs the job, shows what it reports, and ends the event loop with the exit status. SIGINT,
// SIGTERM and SIGHUP stop the job the way the window's stop button does (the encoder ended,
// the private folder removed) and the program then exits with 128 + the signal's number.
class CliRunner : public QObject
{
    Q_OBJECT

public:
    explicit CliRunner(const CliOptions &options, QObject *parent = nullptr);

    // Called from the running event loop; done() follows once, with the exit status.
    void start();

    // What is checked before the job starts, so that a wrong path is told at once and nothing
    // is written: the status to exit with (EX_OK when every file can be used) and the reason.
    static int checkFiles(const CliOptions &options, QString *problem);

signals:
    void done(int status);


private:
    void onProgress(const JobProgress &progress);
    void onFinished(const JobResult &result);
    int statusOf(const JobResult &result, QString *failure) const;
    static int failedStatus(const JobResult &result, QString *failure);
    void onSignal(int signalNumber);
    void end(int status, const QString &failure = QString());
    void report(const QString &line);
    int saveReport(const JobResult &result, QString *problem) const;
    static QString reportFileProblem(const CliOptions &options);
    QString closingLine(const JobResult &result) const;

    const CliOptions options;
    ProgressReporter reporter;
    SignalWatcher watcher;
    TranscodeJob job;
    JobProgress lastProgress;
    QElapsedTimer clock;
    int caughtSignal = 0;
    QFile encoderLog;
    bool ended = false;
};

#endif // CLIRUNNER_H
