#ifndef RESULTSWRITER_H
#define RESULTSWRITER_H

#include "experiment/experimentresults.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class ExperimentPlan;
class QTimer;

// Writes an experiment's results files from what is on disk, one process at a time: the
// results are gathered and written under a claim in the folder, so that of several processes
// sharing the experiment the last to write has seen every cell the others finished before. A
// request that another process's write, begun after it, has served is not written again (the
// processes of a shared experiment that end together would each write the same files in turn),
// and takes the results that write gathered instead of reading every cell again.
class ResultsWriter : public QObject
{
    Q_OBJECT

public:
    explicit ResultsWriter(const ExperimentPlan &plan, QObject *parent = nullptr);

    // Writes the results as soon as no other process writes them; written() follows. Requests
    // made meanwhile are served by that one write. knownNs: where every cell is settled, the
    // time of change of the newest record (by the folder's clock), so that a write that began
    // gathering after it serves the request too, though it began before the request was made.
    void request(qint64 knownNs = -1);
    // Marks this process's start: only a write begun after it serves a request by what the
    // process knows (a write before it cannot have mended a results file damaged since).
    void begin();
    bool pending() const { return wanted; }
    // The results the last write held.
    const ExperimentResults &results() const { return last; }

signals:
    void written(const QString &problem);

private:
    void tryWrite();
    std::optional<QByteArray> servedCells() const;
    void takeServed(const QByteArray &cells);

    const ExperimentPlan &plan;
    ExperimentResults last;
    QTimer *retry = nullptr;
    bool wanted = false;
    qint64 askedNs = -1;   // the folder's time of the latest request, -1 where unknown
    qint64 begunNs = -1;   // the folder's time of begin(), -1 where unknown
};

#endif // RESULTSWRITER_H
