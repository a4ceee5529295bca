#include "experimentfolder.h"

#include "cellrecord.h"
#include "experimentplan.h"

#include "files/jsonfile.h"
#include "parts/partclaim.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

// Files a refusal names before it only counts the rest.
constexpr int namedFiles = 5;

QString listed(const QStringList &names)
{
    QStringList shown = names.mid(0, namedFiles);
    if (names.size() > namedFiles)
        shown << QStringLiteral("%1 more").arg(names.size() - namedFiles);
    return shown.join(QStringLiteral(", "));
}

} // namespace

const QString ExperimentFolder::recordName = QStringLiteral("experiment.record");

QString ExperimentFolder::planOf(const ExperimentPlan &plan)
{
    const QFileInfo file(plan.path());
    const QString canonical = file.canonicalFilePath();
    return canonical.isEmpty() ? file.absoluteFilePath() : canonical;
}

QString ExperimentFolder::owner(const QString &folder, QString *problem)
{
    QJsonObject record;
    if (!JsonFile::read(folder + QLatin1Char('/') + recordName, &record, problem))
        return QString();
    const QString plan = record.value(QStringLiteral("plan")).toString();
    if (plan.isEmpty())
        *problem = QStringLiteral("%1 names no plan").arg(QDir::toNativeSeparators(folder + QLatin1Char('/') + recordName));
    return plan;
}

QString ExperimentFolder::take(const ExperimentPlan &plan, bool make)
{
    const QString folder = plan.folder();
    const QString shown = QDir::toNativeSeparators(folder);
    if (make && !QDir().mkpath(folder))
        return QStringLiteral("cannot make the folder %1").arg(shown);
    const QString mine = planOf(plan);
    // Twice at most: a record another process puts in place meanwhile is read the second time.
    for (int look = 0; look < 2; ++look) {
        QString problem;
        const QString other = owner(folder, &problem);
        if (!problem.isEmpty())
            return QStringLiteral("the folder %1 cannot be used: %2").arg(shown, problem);
        if (other == mine)
            return QString();
        if (!other.isEmpty())
            return QStringLiteral("the folder %1 holds the experiment of another plan, %2 (its record %3): give this "
                                  "plan a \"folder\" of its own")
                .arg(shown, QDir::toNativeSeparators(other), recordName);
        // An empty folder needs no look at the cells' records.
        QStringList there = files(folder);
        if (!there.isEmpty() && madeForPlan(plan))
            there.clear();
        // A process started at the same time put its record in place after the look above, and
        // has begun on the cells: the record says whose experiment the folder holds.
        if (look == 0 && there.contains(recordName))
            continue;
        if (!there.isEmpty())
            return QStringLiteral("the folder %1 holds files this experiment did not make (%2): give the plan a "
                                  "\"folder\" of its own, new or empty")
                .arg(shown, listed(there));
        bool raced = false;
        problem = writeRecord(plan, &raced);
        if (!raced)
            return problem;
    }
    return QStringLiteral("the folder %1 cannot be used: its record %2 keeps changing").arg(shown, recordName);
}

// A folder made before the record existed: a cell's record there names the plan's sequence.
bool ExperimentFolder::madeForPlan(const ExperimentPlan &plan)
{
    for (int s = 0; s < plan.sequences().size(); ++s)
        for (int c = 0; c < plan.configurations().size(); ++c)
            for (int qp : plan.qps()) {
                CellRecord record;
                QString problem;
                if (CellRecord::read(CellFiles::of(plan, s, c, qp).record, &record, &problem)
                    && record.sources.sequence == QFileInfo(plan.sequences().at(s).path).absoluteFilePath())
                    return true;
            }
    return false;
}

// Every file below the folder, links neither followed nor left out, by its path inside it; but
// a record of this class's own left unfinished by a process that ended as it wrote it.
QStringList ExperimentFolder::files(const QString &folder)
{
    QStringList names;
    QDirIterator it(folder, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QDir(folder).relativeFilePath(it.next());
        if (!(name.startsWith(recordName + QLatin1Char('.')) && name.endsWith(QLatin1String(".new"))))
            names << name;
    }
    names.sort();
    return names;
}

QString ExperimentFolder::writeRecord(const ExperimentPlan &plan, bool *raced)
{
    const QString path = plan.folder() + QLatin1Char('/') + recordName;
    const PartClaim::Holder me = PartClaim::self();
    const QString staging = QStringLiteral("%1.%2.%3.new").arg(path, me.host).arg(me.pid);
    const QJsonObject record{{"plan", planOf(plan)},
                             {"made_by", me.describe()},
                             {"made", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}};
    QString problem = JsonFile::write(staging, record);
    if (!problem.isEmpty()) {
        QFile::remove(staging);
        return QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(staging), problem);
    }
    // A link is made only where no file is: of two processes that come at once, one puts its
    // record in place, and the other reads it.
    const int made = ::link(QFile::encodeName(staging).constData(), QFile::encodeName(path).constData());
    const int error = errno;
    QFile::remove(staging);
    *raced = made != 0 && error == EEXIST;
    if (made != 0 && !*raced)
        return QStringLiteral("cannot write %1: %2")
            .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(error)));
    return QString();
}
