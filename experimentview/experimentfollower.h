#ifndef EXPERIMENTFOLLOWER_H
#define EXPERIMENTFOLLOWER_H

#include "cellreader.h"
#include "cellstate.h"
#include "pathstamp.h"
#include "sequencelength.h"

#include "experiment/experimentplan.h"

#include <QList>
#include <QObject>

#include <atomic>
#include <vector>

class QFileSystemWatcher;
class QTimer;

// Follows an experiment's results folder and tells which cells changed, without ever writing
// into it. It lives on a thread of its own, so that a folder on a slow network file system never
// holds up the window. It polls: a configuration's folder is listed again only when its own
// stamp changed (a record or claim is always put in place or removed by name, which changes the
// folder) and once in a while whatever it says, in case a network file system keeps an old
// stamp; a cell's files are read only when their size or time changed; cells under a claim are
// looked at on every poll for how far they have come. Where the file system tells of changes,
// a watcher brings the next poll forward.
class ExperimentFollower : public QObject
{
    Q_OBJECT

public:
    // `intervalMs`: the time between polls.
    ExperimentFollower(const ExperimentPlan &plan, int intervalMs);
    ~ExperimentFollower() override;

    // Called on the follower's thread: the first look at every cell (which tells all of them),
    // then polls until the thread ends.
    void start();
    // From any thread: a count of a sequence's pictures under way ends, and no poll follows.
    void stop() { stopping = true; }

signals:
    // Cells whose state changed since the last time, in the plan's order.
    void changed(const QList<CellState> &cells);

private:
    void poll(bool full);
    void watch(const QString &folder);
    void pollSoon();

    const ExperimentPlan plan;
    const int intervalMs;
    std::atomic_bool stopping{false};
    SequenceLength lengths;
    std::vector<CellReader> readers;
    QList<QString> folders;             // a configuration's folder, by configuration
    QList<PathStamp> folderStamps;
    QTimer *timer = nullptr;
    QTimer *soon = nullptr;
    QFileSystemWatcher *watcher = nullptr;
    int polls = 0;
};

#endif // EXPERIMENTFOLLOWER_H
