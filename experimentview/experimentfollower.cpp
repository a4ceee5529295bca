#include "experimentfollower.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>
#include <QTimer>

namespace {

// Every so many polls each folder is listed, and what the cells are made from looked at again
// (a configuration file edited, a sequence replaced), whatever the folders' stamps say.
constexpr int fullEvery = 30;
// A change the watcher tells of is taken this long after it, so that a burst of them (a cell's
// files put in place one after the other) costs one poll.
constexpr int settleMs = 150;

} // namespace

ExperimentFollower::ExperimentFollower(const ExperimentPlan &plan, int intervalMs)
    : plan(plan)
    , intervalMs(intervalMs)
    , lengths(this->plan, &stopping)
{
    const int qps = int(this->plan.qps().size());
    const int configurations = int(this->plan.configurations().size());
    readers.reserve(size_t(this->plan.cellCount()));
    for (int s = 0; s < this->plan.sequences().size(); ++s)
        for (int c = 0; c < configurations; ++c)
            for (int q = 0; q < qps; ++q)
                readers.emplace_back(this->plan, int(readers.size()), s, c, q);
    for (int c = 0; c < configurations; ++c) {
        const CellFiles files = CellFiles::of(this->plan, 0, c, this->plan.qps().value(0));
        folders << QFileInfo(files.record).absolutePath();
        folderStamps << PathStamp();
    }
}

ExperimentFollower::~ExperimentFollower() = default;

void ExperimentFollower::start()
{
    timer = new QTimer(this);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, [this] { poll(++polls % fullEvery == 0); });
    soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(settleMs);
    connect(soon, &QTimer::timeout, this, [this] { poll(false); });
    watcher = new QFileSystemWatcher(this);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &ExperimentFollower::pollSoon);
    poll(true);
    // The first look tells every cell, changed or not, so that the window has them all.
    QList<CellState> all;
    all.reserve(qsizetype(readers.size()));
    for (const CellReader &reader : readers)
        all << reader.state();
    emit changed(all);
    timer->start();
}

void ExperimentFollower::pollSoon()
{
    if (!soon->isActive())
        soon->start();
}

void ExperimentFollower::poll(bool full)
{
    if (stopping)
        return;
    if (PathStamp::of(plan.folder()).folder)
        watch(plan.folder());
    QList<QSet<QString>> names;
    QList<bool> listed;
    for (int c = 0; c < folders.size(); ++c) {
        const PathStamp stamp = PathStamp::of(folders.at(c));
        const bool list = full || stamp != folderStamps.at(c);
        folderStamps[c] = stamp;
        QSet<QString> found;
        if (list && stamp.folder) {
            const QStringList entries = QDir(folders.at(c)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            found = QSet<QString>(entries.cbegin(), entries.cend());
            watch(folders.at(c));
        }
        names << found;
        listed << list;
    }
    QList<CellState> news;
    for (CellReader &reader : readers) {
        if (stopping)
            return;
        const int c = reader.state().figures.configuration;
        // What the cell is made from is looked at only on a full poll, which lists every folder.
        if (full)
            reader.expect(plan);
        const QSet<QString> *seen = listed.at(c) ? &names.at(c) : nullptr;
        if (!seen && !reader.followed())
            continue;
        if (reader.look(seen, lengths))
            news << reader.state();
    }
    if (!news.isEmpty())
        emit changed(news);
}

void ExperimentFollower::watch(const QString &folder)
{
    if (!watcher->directories().contains(folder))
        watcher->addPath(folder);
}
