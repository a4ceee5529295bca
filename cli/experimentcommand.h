#ifndef EXPERIMENTCOMMAND_H
#define EXPERIMENTCOMMAND_H

#include "clioptions.h"

#include "experiment/experimentplan.h"
#include "experimentrun/experimentrunner.h"
#include "process/signalwatcher.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

#include <memory>

class QCoreApplication;
class ExperimentResults;
class ResultsWriter;

// morlunex-cli --experiment PLAN.json: reads and checks the plan (nothing is written for a
// plan that is refused), runs the experiment with -j encoders and shows its progress, a line
// per finished cell (or one JSON object per event), and at the end the summary table on
// standard output. With --results it only writes the results from the cells done so far. With
// --anchor NAME it also writes the tables against that configuration (results_vs_NAME.*) at the
// end, and prints those.
// SIGINT, SIGTERM and SIGHUP stop it, keeping every finished cell. Ends the event loop with the
// exit status: 0, 1 when cells failed, 73 when the folder is another plan's or holds files the
// experiment did not make, 74 when a cell's file or a results file cannot be written (every
// cell done is kept), 128 + N after signal N, or the plan's refusal.
class ExperimentCommand : public QObject
{
    Q_OBJECT

public:
    explicit ExperimentCommand(const CliOptions &options, QObject *parent = nullptr);
    ~ExperimentCommand() override;

    // Whether the command line asks for an experiment, before the application object exists.
    static bool wanted(int argc, char **argv);
    // The application an experiment runs in: its plots draw text, which takes Qt GUI, on the
    // offscreen platform so that no display is needed (over ssh, in a batch job).
    static std::unique_ptr<QCoreApplication> application(int &argc, char **argv);

    // Called from the running event loop.
    void start();

private:
    bool findReference();
    void writeResultsOnly();
    QString writeComparison(const ExperimentResults &results);
    void onEvent(const ExperimentRunner::Event &event);
    void onFinished();
    void onSignal(int signalNumber);
    void end(int status, const QString &failure = QString());
    void printLine(const QString &line);
    void printJson(QJsonObject object);
    void printSummary(const ResultsWriter &writer);
    QString timeLeft() const;

    const CliOptions options;
    ExperimentPlan plan;
    SignalWatcher watcher;
    std::unique_ptr<ExperimentRunner> runner;
    std::unique_ptr<ResultsWriter> resultsOnly;
    QElapsedTimer clock;
    int reference = -1;        // the configuration the printed table is taken against
    int caughtSignal = 0;
    bool ended = false;
};

#endif // EXPERIMENTCOMMAND_H
