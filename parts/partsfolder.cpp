#include "partsfolder.h"

#include "files/jsonfile.h"
#include "partclaim.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char jobName[] = "job.json";

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Whether the name is a regular file, not followed if it is a link.
bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::lstat(encoded(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isLink(const QString &path)
{
    struct stat info;
    return ::lstat(encoded(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

QString partName(qint64 first)
{
    return QStringLiteral("part_%1").arg(first, 7, 10, QLatin1Char('0'));
}

// Every name the job gives a file in the folder.
const QRegularExpression &ownName()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(job\\.json(\\..*)?|(output|process\\..*)\\.claim(\\..*)?|joined\\..*\\.265|part_-?[0-9]+\\.(265|json|claim)(\\..*)?)$"));
    return pattern;
}

} // namespace

PartsFolder::PartsFolder(const QString &outputPath)
    : folder(nameFor(QFileInfo(outputPath).absoluteFilePath()))
{
}

QString PartsFolder::nameFor(const QString &outputName)
{
    return outputName + QStringLiteral(".parts");
}

bool PartsFolder::exists() const
{
    struct stat info;
    return ::lstat(encoded(folder).constData(), &info) == 0;
}

QString PartsFolder::make()
{
    struct stat info;
    if (::lstat(encoded(folder).constData(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return QStringLiteral("%1 is a symbolic link, which is never followed; move it away")
                .arg(QDir::toNativeSeparators(folder));
        if (!S_ISDIR(info.st_mode))
            return QStringLiteral("%1 exists and is not a folder").arg(QDir::toNativeSeparators(folder));
        return QString();
    }
    if (::mkdir(encoded(folder).constData(), 0777) != 0 && errno != EEXIST)
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(folder), systemError());
    return QString();
}

bool PartsFolder::readJob(JobRecord *record, QString *problem) const
{
    QJsonObject object;
    if (!JsonFile::read(jobPath(), &object, problem))
        return false;
    *record = JobRecord::fromJson(object);
    return true;
}

QString PartsFolder::writeJob(const JobRecord &record, JobRecord *inPlace)
{
    const QString target = jobPath();
    const PartClaim::Holder me = PartClaim::self();
    const QString staging = target + QStringLiteral(".%1.%2").arg(me.host).arg(me.pid);
    QString problem = JsonFile::write(staging, record.toJson());
    if (!problem.isEmpty())
        return problem;
    // A link, not a rename: of several processes making the folder at once, the first record
    // stays and the others take it.
    const bool linked = ::link(encoded(staging).constData(), encoded(target).constData()) == 0;
    const int linkError = errno;
    ::unlink(encoded(staging).constData());
    if (!linked && linkError != EEXIST) {
        errno = linkError;
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), systemError());
    }
    if (linked) {
        *inPlace = record;
        return QString();
    }
    if (!readJob(inPlace, &problem))
        return problem.isEmpty() ? QStringLiteral("%1 went away").arg(QDir::toNativeSeparators(target)) : problem;
    return QString();
}

QString PartsFolder::jobPath() const
{
    return namedFile(QLatin1String(jobName));
}

QString PartsFolder::segmentPath(qint64 first) const
{
    return namedFile(partName(first) + QStringLiteral(".265"));
}

QString PartsFolder::recordPath(qint64 first) const
{
    return namedFile(partName(first) + QStringLiteral(".json"));
}

QString PartsFolder::claimPath(qint64 first) const
{
    return namedFile(partName(first) + QStringLiteral(".claim"));
}

QString PartsFolder::partialPath(qint64 first) const
{
    const PartClaim::Holder me = PartClaim::self();
    return segmentPath(first) + QStringLiteral(".%1.%2.partial").arg(me.host).arg(me.pid);
}

QString PartsFolder::outputClaimPath() const
{
    return namedFile(QStringLiteral("output.claim"));
}

QString PartsFolder::presenceClaimPath() const
{
    const PartClaim::Holder me = PartClaim::self();
    return namedFile(QStringLiteral("process.%1.%2.claim").arg(me.host).arg(me.pid));
}

QStringList PartsFolder::otherClaims() const
{
    static const QRegularExpression claim(QStringLiteral("\\.claim$"));
    const QString own = QFileInfo(presenceClaimPath()).fileName();
    QStringList claims;
    for (const QString &name : ownedNames())
        if (name != own && claim.match(name).hasMatch())
            claims << namedFile(name);
    return claims;
}

QList<SegmentPlan::Segment> PartsFolder::recordedPlan() const
{
    JobRecord record;
    QString problem;
    if (!exists() || !readJob(&record, &problem))
        return {};
    return record.segments;
}

bool PartsFolder::hasFreeSegment() const
{
    for (const SegmentPlan::Segment &span : recordedPlan()) {
        SegmentRecord record;
        if (!finished(span.first, &record, false) && !PartClaim(claimPath(span.first)).liveHolder().valid())
            return true;
    }
    return false;
}

bool PartsFolder::outputUnclaimed() const
{
    const QList<SegmentPlan::Segment> plan = recordedPlan();
    if (plan.isEmpty())
        return false;
    for (const SegmentPlan::Segment &span : plan) {
        SegmentRecord record;
        if (!finished(span.first, &record, false))
            return false;
    }
    return !PartClaim(outputClaimPath()).liveHolder().valid();
}

bool PartsFolder::finished(qint64 first, SegmentRecord *record, bool checkHash) const
{
    QJsonObject object;
    QString problem;
    if (!JsonFile::read(recordPath(first), &object, &problem))
        return false;
    record->first = first;
    record->pictures = qint64(object.value(QStringLiteral("pictures")).toDouble());
    record->bytes = qint64(object.value(QStringLiteral("bytes")).toDouble());
    record->hash = object.value(QStringLiteral("sha256")).toString().toLatin1();
    record->extra = object.value(QStringLiteral("kept")).toObject();
    const QString segment = segmentPath(first);
    if (record->pictures <= 0 || !isRegularFile(segment) || QFileInfo(segment).size() != record->bytes)
        return false;
    return !checkHash || fileHash(segment, &problem) == record->hash;
}

QString PartsFolder::finish(SegmentRecord record)
{
    const QString partial = partialPath(record.first);
    QString problem;
    record.hash = fileHash(partial, &problem);
    if (!problem.isEmpty())
        return problem;
    record.bytes = QFileInfo(partial).size();
    const QString segment = segmentPath(record.first);
    if (isLink(segment))
        return QStringLiteral("%1 is a link, which is never followed").arg(QDir::toNativeSeparators(segment));
    if (::rename(encoded(partial).constData(), encoded(segment).constData()) != 0)
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(segment), systemError());
    QJsonObject object;
    object.insert(QStringLiteral("first_picture"), record.first);
    object.insert(QStringLiteral("pictures"), record.pictures);
    object.insert(QStringLiteral("bytes"), record.bytes);
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(record.hash));
    if (!record.extra.isEmpty())
        object.insert(QStringLiteral("kept"), record.extra);
    return JsonFile::write(recordPath(record.first), object);
}

void PartsFolder::discardSegment(qint64 first) const
{
    // The record first: a segment without one never counts as finished.
    ::unlink(encoded(recordPath(first)).constData());
    ::unlink(encoded(segmentPath(first)).constData());
    discardPartial(first);
}

void PartsFolder::discardPartial(qint64 first) const
{
    ::unlink(encoded(partialPath(first)).constData());
}

QStringList PartsFolder::ownedNames() const
{
    QStringList names;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    // Only regular files: a link or a folder at one of the job's names is never removed.
    for (const QString &name : entries)
        if (ownName().match(name).hasMatch() && isRegularFile(namedFile(name)))
            names << name;
    return names;
}

QList<qint64> PartsFolder::keptSegments() const
{
    static const QRegularExpression kept(QStringLiteral("^part_(-?[0-9]+)\\.(265|json)$"));
    QSet<qint64> firsts;
    for (const QString &name : ownedNames()) {
        const QRegularExpressionMatch match = kept.match(name);
        if (match.hasMatch())
            firsts.insert(match.captured(1).toLongLong());
    }
    QList<qint64> sorted(firsts.begin(), firsts.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

QString PartsFolder::discardAll() const
{
    static const QRegularExpression claim(QStringLiteral("\\.claim$"));
    for (const QString &name : ownedNames()) {
        if (claim.match(name).hasMatch())
            continue;
        if (::unlink(encoded(namedFile(name)).constData()) != 0 && errno != ENOENT)
            return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(namedFile(name)), systemError());
    }
    return QString();
}

QString PartsFolder::discardAllBut(const QList<qint64> &keep) const
{
    static const QRegularExpression claim(QStringLiteral("\\.claim$"));
    QStringList kept;
    for (qint64 first : keep)
        kept << QFileInfo(segmentPath(first)).fileName() << QFileInfo(recordPath(first)).fileName();
    for (const QString &name : ownedNames()) {
        if (claim.match(name).hasMatch() || kept.contains(name) || name == QLatin1String(jobName))
            continue;
        if (::unlink(encoded(namedFile(name)).constData()) != 0 && errno != ENOENT)
            return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(namedFile(name)), systemError());
    }
    return QString();
}

QString PartsFolder::replaceJob(const JobRecord &record)
{
    return JsonFile::write(jobPath(), record.toJson());
}

QString PartsFolder::unfitName() const
{
    const QStringList entries =
        QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        const QString name = namedFile(entry);
        struct stat info;
        if (!ownName().match(entry).hasMatch() || ::lstat(encoded(name).constData(), &info) != 0 || S_ISREG(info.st_mode))
            continue;
        return QStringLiteral("%1 is there and is not a regular file (%2); it is never followed or removed: "
                              "move it away")
            .arg(QDir::toNativeSeparators(name),
                 QLatin1String(S_ISLNK(info.st_mode) ? "a symbolic link" : S_ISDIR(info.st_mode) ? "a folder" : "not a file"));
    }
    return QString();
}

bool PartsFolder::hasJob() const
{
    return isRegularFile(jobPath());
}

void PartsFolder::remove() const
{
    // The output claim goes last: while it is there no other process starts on the output
    // from segments that are going, and the job record goes just before it.
    QStringList names = ownedNames();
    const auto late = [](const QString &name) {
        return name.startsWith(QLatin1String("output.claim")) ? 2 : name == QLatin1String(jobName) ? 1 : 0;
    };
    std::stable_sort(names.begin(), names.end(),
                     [&late](const QString &a, const QString &b) { return late(a) < late(b); });
    for (const QString &name : names)
        ::unlink(encoded(namedFile(name)).constData());
    // Only an empty folder goes: whatever else someone put there stays, with the folder.
    removeIfEmpty();
}

void PartsFolder::removeIfEmpty() const
{
    ::rmdir(encoded(folder).constData());
}

QByteArray PartsFolder::fileHash(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        *problem = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return QByteArray();
    }
    return hash.result().toHex();
}
