#ifndef EXPERIMENTFOLLOWER_H
#define EXPERIMENTFOLLOWER_H

#include "cellreader.h"
#include "cellstate.h"
#include "pathstamp.h"
#include "sequencelength.h"

#include "experiment/experimentplan.h"

#include <QList>
#include <QObject>
#include <QSet>

#include <atomic>
#include <vector>

class QFileSystemWatcher;
class QTimer;

// Follows an experiment's results folder, and the folders of cells made before that its
// configurations name, and tells which cells changed, without ever writing into them. It lives
// on a thread of its own, so that a folder on a slow network file system never holds up the
// window. It polls: a folder is listed again only when its own stamp changed (a record or claim
// is always put in place or removed by name, which changes the folder) and once in a while
// whatever it says, in case a network file system keeps an old stamp; a cell's files are read
// only when their size or time changed; cells under a claim are looked at on every poll for how
// far they have come. What the cells are made from is worked out once for each sequence and
// configuration, not for each cell. Where the file system tells of changes, a watcher brings the
// next poll forward.
class ExperimentFollower : public QObject
{
    Q_OBJECT

public:
    // `intervalMs`: the time between polls.
    ExperimentFollower(const ExperimentPlan &plan, int intervalMs);
    ~ExperimentFollower() override;

    // Called on the follower's thread: the first look at every cell, then polls until the
    // thread ends.
    void start();
    // From any thread: a count of a sequence's pictures under way ends, and no poll follows.
    void stop() { stopping = true; }

signals:
    // Cells whose state changed since the last time, in the plan's order. The first time
    // (`first`), every cell that shows more than a cell waiting with nothing to say: the others
    // are such cells.
    void changed(const QList<CellState> &cells, bool first);

private:
    // A folder the cells of a configuration are looked for in.
    struct Folder
    {
        QString path;               // empty: none
        PathStamp stamp;
    };

    // Looks at the folders and the cells; those that changed go into *news, unless it is null.
    void poll(bool full, QList<CellState> *news);
    void expect(bool first);
    const CellReader::Expected &expectedOf(int index) const;
    bool list(Folder &folder, bool full, QSet<QString> *names);
    void watch(const QString &folder);
    void pollSoon();

    const ExperimentPlan plan;
    const int intervalMs;
    std::atomic_bool stopping{false};
    SequenceLength lengths;
    std::vector<CellReader::Expected> expected;   // by sequence, then configuration
    std::vector<CellReader> readers;               // in the plan's order
    QList<Folder> folders;                         // by configuration: the plan's folder of its cells
    QList<Folder> madeFolders;                     // and where they were made before
    QTimer *timer = nullptr;
    QTimer *soon = nullptr;
    QFileSystemWatcher *watcher = nullptr;
    int polls = 0;
};

#endif // EXPERIMENTFOLLOWER_H
