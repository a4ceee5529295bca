#include "filedigest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

// Digests this process took of files whose stamp changed since their record, by path: a file
// looked at again and again (a view, the results gathered after each sequence) is read once for
// each stamp it has.
QMutex digestedLock;
QHash<QString, FileDigest> &digested()
{
    static QHash<QString, FileDigest> files;
    return files;
}

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

FileDigest FileDigest::stampOf(const QString &path)
{
    FileDigest stamp;
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return stamp;
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = nanoseconds(info.st_mtim);
    stamp.changedNs = nanoseconds(info.st_ctim);
    stamp.inode = quint64(info.st_ino);
    return stamp;
}

FileDigest FileDigest::of(const QString &path, QString *problem)
{
    const QString shown = QDir::toNativeSeparators(path);
    const FileDigest before = stampOf(path);
    QFile file(path);
    if (before.size < 0 || !file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1 cannot be read: %2")
                       .arg(shown, before.size < 0 ? QString::fromLocal8Bit(std::strerror(ENOENT)) : file.errorString());
        return FileDigest();
    }
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError) {
        *problem = QStringLiteral("%1 cannot be read: %2").arg(shown, file.errorString());
        return FileDigest();
    }
    FileDigest taken = stampOf(path);
    // A file written while it was read has no one digest.
    if (!taken.sameStamp(before)) {
        *problem = QStringLiteral("%1 changed while it was read").arg(shown);
        return FileDigest();
    }
    taken.digest = hash.result().toHex();
    return taken;
}

bool FileDigest::sameStamp(const FileDigest &other) const
{
    return size == other.size && modifiedNs == other.modifiedNs && changedNs == other.changedNs
        && inode == other.inode;
}

FileDigest::Match FileDigest::check(const QString &path, QString *problem) const
{
    const FileDigest now = stampOf(path);
    if (now.size < 0) {
        *problem = QStringLiteral("%1 is missing").arg(QDir::toNativeSeparators(path));
        return Unreadable;
    }
    if (now.size != size)
        return Changed;
    if (sameStamp(now))
        return Unchanged;
    FileDigest again;
    {
        QMutexLocker locker(&digestedLock);
        again = digested().value(path);
    }
    if (!again.taken() || !again.sameStamp(now)) {
        again = of(path, problem);
        if (!again.taken())
            return Unreadable;
        QMutexLocker locker(&digestedLock);
        digested().insert(path, again);
    }
    return again.digest == digest ? SameContents : Changed;
}

QJsonObject FileDigest::toJson() const
{
    // Nanoseconds since 1970 need 61 bits, more than a JSON number holds exactly: as text.
    return QJsonObject{{"blake2b_256", QString::fromLatin1(digest)},
                       {"size", size},
                       {"modified_ns", QString::number(modifiedNs)},
                       {"changed_ns", QString::number(changedNs)},
                       {"inode", QString::number(inode)}};
}

FileDigest FileDigest::fromJson(const QJsonObject &object)
{
    FileDigest read;
    const QByteArray digest = object.value(QStringLiteral("blake2b_256")).toString().toLatin1();
    // 32 bytes in hex, or none at all.
    if (digest.size() != 64 || QByteArray::fromHex(digest).toHex() != digest.toLower())
        return read;
    read.digest = digest.toLower();
    read.size = qint64(object.value(QStringLiteral("size")).toDouble(-1));
    read.modifiedNs = object.value(QStringLiteral("modified_ns")).toString().toLongLong();
    read.changedNs = object.value(QStringLiteral("changed_ns")).toString().toLongLong();
    read.inode = object.value(QStringLiteral("inode")).toString().toULongLong();
    return read;
}
