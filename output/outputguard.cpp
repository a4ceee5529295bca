#include "outputguard.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OutputGuard {

namespace {

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The access mode of an open descriptor, from the "flags:" line of /proc/<pid>/fdinfo/<fd>.
bool openForWriting(const QString &fdinfo)
{
    QFile file(fdinfo);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("flags:"))
            continue;
        bool ok = false;
        const int flags = line.mid(6).trimmed().toInt(&ok, 8);
        return ok && (flags & O_ACCMODE) != O_RDONLY;
    }
    return false;
}

// Whether nobody has the file open for writing, told by the kernel at once: a read lease is
// granted only then. False where that cannot be told (leases not allowed or not supported
// there, the file not this user's); the processes are looked through then.
bool surelyUnwritten(const QString &path, const Stamp &target)
{
#ifdef F_SETLEASE
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info;
    bool unwritten = false;
    if (::fstat(fd, &info) == 0 && info.st_dev == target.device && info.st_ino == target.inode
        && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        unwritten = true;
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    }
    ::close(fd);
    return unwritten;
#else
    Q_UNUSED(path);
    Q_UNUSED(target);
    return false;
#endif
}

} // namespace

Stamp stamp(const QString &path)
{
    Stamp result;
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return result;
    result.exists = true;
    result.device = info.st_dev;
    result.inode = info.st_ino;
    result.size = info.st_size;
    result.modifiedNs = nanoseconds(info.st_mtim);
    result.changedNs = nanoseconds(info.st_ctim);
    return result;
}

bool changedSince(const Stamp &before, const QString &path)
{
    const Stamp now = stamp(path);
    if (!now.exists)
        return false;
    return !before.exists || now.device != before.device || now.inode != before.inode
        || now.size != before.size || now.modifiedNs != before.modifiedNs;
}

QList<qint64> writersOf(const QString &path)
{
    QList<qint64> writers;
#ifdef Q_OS_LINUX
    const Stamp target = stamp(path);
    if (!target.exists || surelyUnwritten(path, target))
        return writers;
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : processes) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        // Other users' processes cannot be looked into, and processes come and go meanwhile.
        const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList descriptors = QDir(fdFolder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : descriptors) {
            struct stat info;
            if (::stat(QFile::encodeName(fdFolder + QLatin1Char('/') + fd).constData(), &info) != 0
                || info.st_dev != target.device || info.st_ino != target.inode)
                continue;
            if (openForWriting(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd))) {
                writers << pid;
                break;
            }
        }
    }
#else
    Q_UNUSED(path);
#endif
    return writers;
}

QList<qint64> waitForWriters(const QString &path, int timeoutMs)
{
    constexpr int stepMs = 50;
    // By the clock: on a busy machine a look through every process takes its time too.
    QElapsedTimer waited;
    waited.start();
    QList<qint64> writers = writersOf(path);
    while (!writers.isEmpty() && waited.elapsed() < timeoutMs) {
        QThread::msleep(stepMs);
        writers = writersOf(path);
    }
    return writers;
}

} // namespace OutputGuard
