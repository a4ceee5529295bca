#ifndef SWEEPCOMMAND_H
#define SWEEPCOMMAND_H

#include "clioptions.h"
#include "clirunner.h"

#include "process/signalwatcher.h"

#include <QObject>

#include <memory>

// morlunex-cli --qp 22,27,32,37: one job per QP, one after the other, each with the encoder
// given -q QP, its own output and its own report, and a rate-PSNR line at its end. The first
// job that fails ends the sweep with its status; a signal stops the running job and no further
// one starts. Ends the event loop with the exit status.
class SweepCommand : public QObject
{
    Q_OBJECT

public:
    explicit SweepCommand(const CliOptions &options, QObject *parent = nullptr);

    // Called from the running event loop.
    void start();

private:
    void runNext();
    void onRunEnded(int status);

    const CliOptions options;
    // Keeps the signals caught between two jobs, when no job's own watcher lives.
    SignalWatcher watcher;
    std::unique_ptr<CliRunner> runner;
    qsizetype next = 0;
    int caughtSignal = 0;
};

#endif // SWEEPCOMMAND_H
