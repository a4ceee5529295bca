#ifndef RESULTSWRITER_H
#define RESULTSWRITER_H

#include "experiment/experimentresults.h"

#include <QObject>
#include <QString>

class ExperimentPlan;
class QTimer;

// Writes an experiment's results files from what is on disk, one process at a time: the
// results are gathered and written under a claim in the folder, so that of several processes
// sharing the experiment the last to write has seen every cell the others finished before.
class ResultsWriter : public QObject
{
    Q_OBJECT

public:
    explicit ResultsWriter(const ExperimentPlan &plan, QObject *parent = nullptr);

    // Writes the results as soon as no other process writes them; written() follows. Requests
    // made meanwhile are served by that one write.
    void request();
    bool pending() const { return wanted; }
    // The results the last write held.
    const ExperimentResults &results() const { return last; }

signals:
    void written(const QString &problem);

private:
    void tryWrite();

    const ExperimentPlan &plan;
    ExperimentResults last;
    QTimer *retry = nullptr;
    bool wanted = false;
};

#endif // RESULTSWRITER_H
