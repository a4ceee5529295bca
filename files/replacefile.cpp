#include "replacefile.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ReplaceFile {

QString syncToDisk(QSaveFile *file)
{
#ifdef Q_OS_UNIX
    if (::fsync(file->handle()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
#else
    Q_UNUSED(file);
#endif
    return QString();
}

void keepModeOf(const QString &target, QSaveFile *file)
{
#ifdef Q_OS_UNIX
    struct stat old;
    if (::stat(QFile::encodeName(target).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    // The group first: changing it may clear the set-group-ID bit, which the mode then restores.
    if (::fchown(file->handle(), uid_t(-1), old.st_gid) != 0) {
        // Not a member of the file's group: the new file keeps the user's own group.
    }
    ::fchmod(file->handle(), old.st_mode & 07777);
#else
    Q_UNUSED(target);
    Q_UNUSED(file);
#endif
}

QString writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    // A write cut short by a full disk or a size limit returns what it wrote without an error;
    // the next one fails with the reason.
    QString problem;
    for (qint64 done = 0; done < bytes.size() && problem.isEmpty();) {
        const qint64 wrote = file.write(bytes.constData() + done, bytes.size() - done);
        if (wrote <= 0)
            problem = file.errorString();   // taken before the cancel, which says only that it was cancelled
        done += qMax<qint64>(wrote, 0);
    }
    if (problem.isEmpty())
        problem = syncToDisk(&file);
    if (!problem.isEmpty()) {
        file.cancelWriting();
        return problem;
    }
    keepModeOf(path, &file);
    return file.commit() ? QString() : file.errorString();
}

QString moveToFreeName(const QString &from, const QString &stem, const QString &suffix, QString *problem)
{
    const QByteArray source = QFile::encodeName(from);
    for (int number = 0; number < 1000; ++number) {
        const QString name = number == 0 ? stem + suffix : QStringLiteral("%1.%2%3").arg(stem).arg(number).arg(suffix);
        const QByteArray target = QFile::encodeName(name);
#ifdef Q_OS_LINUX
        // A rename that fails where the name is taken; a hard link does the same where the file
        // system lacks it.
        if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
            return name;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS) {
            *problem = QString::fromLocal8Bit(std::strerror(errno));
            return QString();
        }
#endif
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return name;
        }
        if (errno != EEXIST) {
            *problem = QString::fromLocal8Bit(std::strerror(errno));
            return QString();
        }
    }
    *problem = QStringLiteral("every name from %1 to %2.999%3 is taken").arg(stem + suffix, stem, suffix);
    return QString();
}

} // namespace ReplaceFile
