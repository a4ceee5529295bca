#include "sweepcommand.h"

#include <QCoreApplication>

#include <cstdio>

SweepCommand::SweepCommand(const CliOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    connect(&watcher, &SignalWatcher::caught, this, [this](int signalNumber) {
        if (caughtSignal == 0)
            caughtSignal = signalNumber;
    });
}

void SweepCommand::start()
{
    // Every output and report of the sweep is checked before the first encode, so that a
    // refusal never comes after some of them were written.
    for (int qp : options.sweepQps()) {
        QString problem;
        const int status = CliRunner::checkFiles(options.sweepPoint(qp), &problem);
        if (status != 0) {
            std::fprintf(stderr, "morlunex-cli: QP %d: %s\n", qp, problem.toLocal8Bit().constData());
            QCoreApplication::exit(status);
            return;
        }
    }
    runNext();
}

void SweepCommand::runNext()
{
    if (runner)
        runner.release()->deleteLater();
    if (caughtSignal != 0) {
        std::fprintf(stderr, "morlunex-cli: stopped by signal %d before QP %d\n", caughtSignal,
                     options.sweepQps().value(next));
        QCoreApplication::exit(128 + caughtSignal);
        return;
    }
    if (next >= options.sweepQps().size()) {
        QCoreApplication::exit(0);
        return;
    }
    runner = std::make_unique<CliRunner>(options.sweepPoint(options.sweepQps().at(next++)));
    connect(runner.get(), &CliRunner::done, this, &SweepCommand::onRunEnded, Qt::QueuedConnection);
    runner->start();
}

void SweepCommand::onRunEnded(int status)
{
    if (status != 0) {
        QCoreApplication::exit(status);
        return;
    }
    runNext();
}
