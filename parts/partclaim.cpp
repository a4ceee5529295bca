#include "partclaim.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

QByteArray bootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// When a process started, in clock ticks after boot (field 22 of /proc/<pid>/stat); 0 when it
// does not run. Together with its number it tells a process from a later one given the number.
qint64 processStart(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return 0;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // After the command come the state (field 3) and the rest; the start time is field 22.
    if (fields.size() < 20 || fields.at(0) == "Z")
        return 0;
    return fields.at(19).toLongLong();
}

// Whether a holder is known to have ended: one of this host that no longer runs (or whose
// number a later process has), or one of an earlier boot. A holder of another host is not.
bool hasEnded(const PartClaim::Holder &holder, const PartClaim::Holder &me)
{
    if (holder.host != me.host)
        return false;
    if (!holder.boot.isEmpty() && !me.boot.isEmpty() && holder.boot != me.boot)
        return true;
    const qint64 started = processStart(holder.pid);
    return started == 0 || (holder.started != 0 && started != holder.started);
}

qint64 modifiedNs(const QString &path)
{
    struct stat info;
    if (::lstat(encoded(path).constData(), &info) != 0)
        return -1;
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Claims of other processes this process has seen, by content: since when the claim file has
// had the time of change it had then, and whether it was seen to change at all.
struct Sighting
{
    QElapsedTimer since;
    qint64 modified = 0;
    bool refreshed = false;
};

struct Sightings
{
    QMutex lock;
    QHash<QByteArray, Sighting> byNonce;
};

Sightings &sightings()
{
    static Sightings seen;
    return seen;
}

// Whether this process is yet to sweep `folder` for claims staged by ended processes, and
// from now on it is not. Once a process is enough: a staged claim left behind holds no work
// (the claim is the file under the claim's own name), a job's folder takes it along when it
// goes, and every later process sweeps again; a sweep at every take read the whole folder
// each time, which grows with the work in it (an experiment's folder holds every cell's files).
bool sweepDue(const QString &folder)
{
    static QMutex lock;
    static QSet<QString> swept;
    const QMutexLocker locked(&lock);
    if (swept.contains(folder))
        return false;
    swept.insert(folder);
    return true;
}

} // namespace

QString PartClaim::Holder::describe() const
{
    return QStringLiteral("%1 (process %2)").arg(host.isEmpty() ? QStringLiteral("?") : host).arg(pid);
}

PartClaim::PartClaim(const QString &path)
    : claimPath(path)
{
}

PartClaim::~PartClaim()
{
    release();
}

PartClaim::Holder PartClaim::self()
{
    // Read once: every claim taken, checked or refreshed asks, and the answer cannot change
    // while the process runs.
    static const Holder me = [] {
        Holder holder;
        holder.host = QSysInfo::machineHostName();
        holder.pid = QCoreApplication::applicationPid();
        holder.boot = bootId();
        holder.started = processStart(holder.pid);
        return holder;
    }();
    return me;
}

int PartClaim::timeoutSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("MORLUNEX_CLAIM_TIMEOUT", &ok);
    return ok && seconds > 0 ? seconds : 60;
}

int PartClaim::refreshIntervalMs()
{
    return qMin(timeoutSeconds() * 1000 / 6, 10000);
}

bool PartClaim::read(const QString &path, Holder *holder, QByteArray *content)
{
    struct stat info;
    if (::lstat(encoded(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.read(4096);
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    holder->host = object.value(QStringLiteral("host")).toString();
    holder->pid = qint64(object.value(QStringLiteral("pid")).toDouble());
    holder->boot = object.value(QStringLiteral("boot")).toString().toLatin1();
    holder->started = qint64(object.value(QStringLiteral("started")).toDouble());
    holder->nonce = object.value(QStringLiteral("nonce")).toString().toLatin1();
    if (content)
        *content = bytes;
    return true;
}

namespace {

// The holders of the claims this process has read, by path, with the file they were read from:
// a process looking for work passes every claim the others hold, again at each look, and with
// many processes on one folder reading them was most of that look. A claim is written whole and
// never again (a refresh only touches its times; a take-over links another file into place), so
// it is read again only once its file is another: another inode, size or time of birth. Where
// the file system keeps no time of birth, its time of change stands in (a refresh changes it, so
// such claims are read at every refresh).
struct ClaimFile
{
    quint64 device = 0;
    quint64 inode = 0;
    quint64 size = 0;
    qint64 bornNs = -1;

    // False where path is no regular file.
    bool of(const QByteArray &path)
    {
        struct statx info;
        if (::statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_SIZE | STATX_BTIME | STATX_CTIME,
                    &info) != 0
            || !S_ISREG(info.stx_mode))
            return false;
        device = (quint64(info.stx_dev_major) << 32) | info.stx_dev_minor;
        inode = info.stx_ino;
        size = info.stx_size;
        const struct statx_timestamp &born = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
        bornNs = qint64(born.tv_sec) * 1000000000 + born.tv_nsec;
        return true;
    }
    bool operator==(const ClaimFile &other) const
    {
        return device == other.device && inode == other.inode && size == other.size && bornNs == other.bornNs;
    }
};

struct SeenClaim
{
    ClaimFile file;
    PartClaim::Holder holder;
};

// Enough for the claims of a large experiment; past it, the memory is worth more.
constexpr int seenClaimsMost = 50000;

QMutex seenLock;
QHash<QString, SeenClaim> &seenClaims()
{
    static QHash<QString, SeenClaim> claims;
    return claims;
}

} // namespace

// As read(), but a claim whose file is the one read before is not read again. Only for looks
// that take nothing over: a take-over reads the claim it replaces itself.
bool PartClaim::readSeen(const QString &path, Holder *holder)
{
    ClaimFile file;
    if (!file.of(encoded(path)))
        return false;
    {
        QMutexLocker locked(&seenLock);
        const auto seen = seenClaims().constFind(path);
        if (seen != seenClaims().cend() && seen->file == file) {
            *holder = seen->holder;
            return true;
        }
    }
    if (!read(path, holder))
        return false;
    QMutexLocker locked(&seenLock);
    if (seenClaims().size() >= seenClaimsMost)
        seenClaims().clear();
    seenClaims().insert(path, {file, *holder});
    return true;
}

PartClaim::Sight PartClaim::observe(const QString &path)
{
    Sight sight;
    if (!readSeen(path, &sight.holder)) {
        sight.state = modifiedNs(path) < 0 ? Sight::Free : Sight::Broken;
        return sight;
    }
    sight.state = stateOf(sight.holder, path, &sight.silentMs);
    return sight;
}

// How a holder's claim stands. Whether it goes unrefreshed is watched from here, so that the
// clocks of the holder's machine, the file server and this one never have to agree.
PartClaim::Sight::State PartClaim::stateOf(const Holder &holder, const QString &path, qint64 *silentMs)
{
    if (!holder.valid())
        return Sight::Broken;
    const Holder me = self();
    if (hasEnded(holder, me))
        return Sight::Ended;
    const qint64 modified = modifiedNs(path);
    QMutexLocker locked(&sightings().lock);
    Sighting &seen = sightings().byNonce[holder.nonce];
    if (!seen.since.isValid() || seen.modified != modified) {
        seen.refreshed = seen.since.isValid();
        seen.since.start();
        seen.modified = modified;
    }
    *silentMs = seen.since.elapsed();
    if (*silentMs >= qint64(timeoutSeconds()) * 1000)
        return Sight::Silent;
    return holder.host == me.host || seen.refreshed ? Sight::Alive : Sight::Unproven;
}

PartClaim::Holder PartClaim::liveHolder() const
{
    const Sight sight = observe(claimPath);
    return sight.held() ? sight.holder : Holder();
}

PartClaim::Holder PartClaim::watchHolder(bool *seenAlive) const
{
    const Sight sight = observe(claimPath);
    *seenAlive = sight.state == Sight::Alive;
    return sight.held() ? sight.holder : Holder();
}

// A claim's content: this process as its holder, with a mark of the claim's own.
QByteArray PartClaim::newContent()
{
    Holder me = self();
    me.nonce = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    QJsonObject object;
    object.insert(QStringLiteral("host"), me.host);
    object.insert(QStringLiteral("pid"), me.pid);
    object.insert(QStringLiteral("boot"), QString::fromLatin1(me.boot));
    object.insert(QStringLiteral("started"), me.started);
    object.insert(QStringLiteral("nonce"), QString::fromLatin1(me.nonce));
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool PartClaim::writeStaging(const QString &staging, const QByteArray &content)
{
    const QByteArray stagingName = encoded(staging);
    const int fd = ::open(stagingName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = QStringLiteral("%1: %2").arg(staging, systemError());
        return false;
    }
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        problem = QStringLiteral("%1: %2").arg(staging, systemError());
        ::unlink(stagingName.constData());
        return false;
    }
    return true;
}

PartClaim::Take PartClaim::take(const std::function<bool()> &finishedMeanwhile)
{
    if (!tryTake())
        return problem.isEmpty() ? Held : Unusable;
    if (!finishedMeanwhile())
        return Taken;
    release();
    return Finished;
}

QString PartClaim::leftBy() const
{
    if (!previous.valid())
        return QString();
    return QStringLiteral("%1, %2").arg(previous.describe(), previousGone ? QStringLiteral("which is gone")
                                                                          : QStringLiteral("which has not refreshed its claim for %1 s")
                                                                                .arg(timeoutSeconds()));
}

bool PartClaim::tryTake()
{
    problem.clear();
    if (holding)
        return true;
    // Who held it before is told of the take that took it over only.
    previous = Holder();
    previousGone = false;
    struct stat info;
    const bool present = ::lstat(encoded(claimPath).constData(), &info) == 0;
    if (present && !S_ISREG(info.st_mode)) {
        problem = QStringLiteral("%1 is not a regular file (a link is never followed)").arg(claimPath);
        return false;
    }
    // A claim whose holder keeps it is left at once, before a claim of this process's own is
    // written and synced only to see its link fail: a process looking for free work passes
    // every segment the others hold, and with many processes on one folder those syncs were
    // most of the pause between one segment and the next.
    if (present) {
        Holder holder;
        qint64 silent = 0;
        if (readSeen(claimPath, &holder)) {
            const Sight::State state = stateOf(holder, claimPath, &silent);
            if (state == Sight::Alive || state == Sight::Unproven)
                return false;
        }
    }
    const Holder me = self();
    const QByteArray content = newContent();
    // The whole claim is written under a name of this process's own, then linked into place:
    // the link either makes the claim whole or fails because another claim is there.
    const QString staging = claimPath + QStringLiteral(".%1.%2").arg(me.host).arg(me.pid);
    const QByteArray stagingName = encoded(staging);
    if (!writeStaging(staging, content))
        return false;
    for (int attempt = 0; attempt < 2 && !holding; ++attempt) {
        if (::link(stagingName.constData(), encoded(claimPath).constData()) == 0) {
            holding = true;
            break;
        }
        // Over NFS a link may have been made though the reply was lost: the count tells.
        struct stat staged;
        if (::stat(stagingName.constData(), &staged) == 0 && staged.st_nlink == 2) {
            holding = true;
            break;
        }
        if (errno != EEXIST) {
            problem = QStringLiteral("%1: %2").arg(claimPath, systemError());
            break;
        }
        Holder holder;
        QByteArray stale;
        qint64 silent = 0;
        if (!read(claimPath, &holder, &stale))
            break;
        const Sight::State state = stateOf(holder, claimPath, &silent);
        if (state == Sight::Alive || state == Sight::Unproven || !takeOver(stale))
            break;
        previous = holder;
        previousGone = state == Sight::Broken || state == Sight::Ended;
    }
    ::unlink(stagingName.constData());
    if (!holding)
        return false;
    ownContent = content;
    if (sweepDue(QFileInfo(claimPath).absolutePath()))
        removeDeadStaging();
    return true;
}

// A process killed while it took a claim leaves the claim it staged under its own name, or
// the one it moved aside to take it over. Such a file in this claim's folder, of this host, whose
// process is proven to have ended is removed; one whose process may still run (its number
// taken again) stays.
void PartClaim::removeDeadStaging() const
{
    const Holder me = self();
    const QString byThisHost = QLatin1Char('.') + me.host + QLatin1Char('.');
    const QLatin1String staged(".claim"), movedAside(".claim.abandoned");
    const QDir folder = QFileInfo(claimPath).dir();
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QString &name : names) {
        // <claim>.<host>.<pid> or <claim>.abandoned.<host>.<pid>, read from the end: a claim's
        // own name may hold dots, and only this host's are looked at.
        const qsizetype dot = name.lastIndexOf(byThisHost);
        bool numeric = false;
        Holder maker;
        maker.host = me.host;
        maker.pid = dot > 0 ? name.mid(dot + byThisHost.size()).toLongLong(&numeric) : 0;
        if (!numeric || maker.pid <= 0 || maker.pid == me.pid)
            continue;
        const QStringView claim = QStringView(name).left(dot);
        const bool aside = claim.endsWith(movedAside);
        if (!aside && !claim.endsWith(staged))
            continue;
        // A staged claim says when its process started, which tells it from a later one with
        // its number; a claim moved aside is another holder's, and the number alone tells.
        const QString path = folder.filePath(name);
        Holder content;
        if (!aside && read(path, &content) && content.valid() && content.pid == maker.pid && content.host == maker.host)
            maker = content;
        if (hasEnded(maker, me))
            ::unlink(encoded(path).constData());
    }
}

// Moves an abandoned claim out of the way, under a name of this process's own so that of two
// processes only one succeeds, and puts it back should it have been renewed meanwhile.
bool PartClaim::takeOver(const QByteArray &staleContent)
{
    const Holder me = self();
    const QString aside = claimPath + QStringLiteral(".abandoned.%1.%2").arg(me.host).arg(me.pid);
    if (::rename(encoded(claimPath).constData(), encoded(aside).constData()) != 0)
        return false;
    QFile moved(aside);
    const bool same = moved.open(QIODevice::ReadOnly) && moved.read(4096) == staleContent;
    moved.close();
    if (!same)
        ::link(encoded(aside).constData(), encoded(claimPath).constData());
    ::unlink(encoded(aside).constData());
    return same;
}

bool PartClaim::stillOwn() const
{
    QFile file(claimPath);
    return !ownContent.isEmpty() && file.open(QIODevice::ReadOnly) && file.read(4096) == ownContent;
}

bool PartClaim::refresh()
{
    if (!holding)
        return false;
    QFile file(claimPath);
    if (!file.open(QIODevice::ReadOnly) || file.read(4096) != ownContent) {
        // Taken over: ours no more, and not ours to remove.
        holding = false;
        return false;
    }
    file.close();
    ::utimensat(AT_FDCWD, encoded(claimPath).constData(), nullptr, AT_SYMLINK_NOFOLLOW);
    return true;
}

void PartClaim::release()
{
    if (!holding)
        return;
    holding = false;
    // Only a claim that is still ours is removed.
    QFile file(claimPath);
    if (file.open(QIODevice::ReadOnly) && file.read(4096) == ownContent) {
        file.close();
        ::unlink(encoded(claimPath).constData());
    }
}
