#include "experimentfollower.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
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
    readers.reserve(size_t(this->plan.cellCount()));
    for (int index = 0; index < this->plan.cellCount(); ++index)
        readers.emplace_back(index);
    for (int c = 0; c < this->plan.configurations().size(); ++c) {
        const CellFiles files = CellFiles::of(this->plan, 0, c, this->plan.qps().value(0));
        folders << Folder{QFileInfo(files.record).absolutePath(), {}};
        madeFolders << Folder{files.made.isEmpty() ? QString() : QFileInfo(files.made).absolutePath(), {}};
    }
}

ExperimentFollower::~ExperimentFollower() = default;

void ExperimentFollower::start()
{
    timer = new QTimer(this);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, [this] {
        QList<CellState> news;
        poll(++polls % fullEvery == 0, &news);
        if (!news.isEmpty())
            emit changed(news, false);
    });
    soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(settleMs);
    connect(soon, &QTimer::timeout, this, [this] {
        QList<CellState> news;
        poll(false, &news);
        if (!news.isEmpty())
            emit changed(news, false);
    });
    watcher = new QFileSystemWatcher(this);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &ExperimentFollower::pollSoon);
    poll(true, nullptr);
    if (stopping)
        return;
    // The first look tells every cell that has something to show; the window takes the others
    // as waiting.
    QList<CellState> told;
    for (const CellReader &reader : readers)
        if (reader.told(expectedOf(reader.index())))
            told << reader.state(plan, expectedOf(reader.index()));
    emit changed(told, true);
    timer->start();
}

void ExperimentFollower::pollSoon()
{
    if (!soon->isActive())
        soon->start();
}

// What the cells of each sequence and configuration are made from, read once for all their QPs;
// the cells of a pair whose sources changed are looked at afresh.
void ExperimentFollower::expect(bool first)
{
    const int configurations = int(plan.configurations().size());
    expected.resize(size_t(plan.sequences().size() * configurations));
    // A configuration's text is mostly the same for all its sequences: kept once.
    QList<QByteArray> texts(configurations);
    for (int s = 0; s < plan.sequences().size() && !stopping; ++s)
        for (int c = 0; c < configurations; ++c) {
            CellReader::Expected now;
            now.sources = CellSources::of(plan, s, c, plan.qps().value(0), &now.problem);
            if (now.sources.configuration == texts.at(c))
                now.sources.configuration = texts.at(c);
            else
                texts[c] = now.sources.configuration;
            CellReader::Expected &then = expected[size_t(s * configurations + c)];
            const bool same = !first && now.problem == then.problem && now.sources.changedSince(then.sources).isEmpty();
            then = now;
            if (same)
                continue;
            for (int q = 0; q < plan.qps().size(); ++q)
                readers[size_t(plan.cellIndex(s, c, q))].expectAgain();
        }
}

const CellReader::Expected &ExperimentFollower::expectedOf(int index) const
{
    const ExperimentPlan::CellPlace place = plan.cellAt(index);
    return expected[size_t(place.sequence * plan.configurations().size() + place.configuration)];
}

// Lists the folder when its stamp changed or on a full poll; false when it was not listed.
bool ExperimentFollower::list(Folder &folder, bool full, QSet<QString> *names)
{
    if (folder.path.isEmpty())
        return false;
    const PathStamp stamp = PathStamp::of(folder.path);
    const bool again = full || stamp != folder.stamp;
    folder.stamp = stamp;
    if (!again)
        return false;
    if (stamp.folder) {
        const QStringList entries = QDir(folder.path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        *names = QSet<QString>(entries.cbegin(), entries.cend());
        watch(folder.path);
    }
    return true;
}

void ExperimentFollower::poll(bool full, QList<CellState> *news)
{
    if (stopping)
        return;
    if (full)
        expect(polls == 0);
    if (PathStamp::of(plan.folder()).folder)
        watch(plan.folder());
    const int configurations = int(plan.configurations().size());
    QList<QSet<QString>> names(configurations), madeNames(configurations);
    QList<bool> listed(configurations), madeListed(configurations);
    for (int c = 0; c < configurations; ++c) {
        listed[c] = list(folders[c], full, &names[c]);
        madeListed[c] = list(madeFolders[c], full, &madeNames[c]);
    }
    for (CellReader &reader : readers) {
        if (stopping)
            return;
        const int c = plan.cellAt(reader.index()).configuration;
        const QSet<QString> *seen = listed.at(c) ? &names.at(c) : nullptr;
        const QSet<QString> *madeSeen = madeListed.at(c) ? &madeNames.at(c) : nullptr;
        if (!seen && !madeSeen && !reader.followed())
            continue;
        const CellReader::Expected &sources = expectedOf(reader.index());
        if (reader.look(plan, sources, seen, madeSeen, lengths) && news)
            *news << reader.state(plan, sources);
    }
}

void ExperimentFollower::watch(const QString &folder)
{
    if (!watcher->directories().contains(folder))
        watcher->addPath(folder);
}
