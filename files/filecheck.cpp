#include "filecheck.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Why a file that must exist cannot be used in this mode (R_OK, W_OK, X_OK).
QString fileProblem(const QString &path, int mode)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0)
        return systemReason();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a folder");
    if (::access(name.constData(), mode) != 0)
        return systemReason();
    return QString();
}

} // namespace

namespace FileCheck {

QString readProblem(const QString &path)
{
    return fileProblem(path, R_OK);
}

QString runProblem(const QString &path)
{
    return fileProblem(path, X_OK);
}

QString writeProblem(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    const QByteArray folderName = QFile::encodeName(folder);
    struct stat info;
    if (::stat(folderName.constData(), &info) != 0)
        return QStringLiteral("folder %1: %2").arg(folder, systemReason());
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (::access(folderName.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("folder %1: %2").arg(folder, systemReason());
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        return fileProblem(path, W_OK);
    // Only a file that is not there yet may be missing; a loop of links, say, is no place to
    // write to.
    if (errno != ENOENT)
        return systemReason();
    return QString();
}

QString regularFileProblem(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return systemReason();
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a named pipe, not a regular file");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a folder");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("it is a device or socket, not a regular file");
    return fileProblem(path, R_OK);
}

QString folderProblem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0) {
        const int error = errno;
        struct stat link;
        if (error == ENOENT && ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            return QStringLiteral("it is a link to %1, which is not there")
                .arg(QDir::toNativeSeparators(QFileInfo(path).symLinkTarget()));
        if (error == ENOENT)
            return QStringLiteral("it is not there");
        errno = error;
        return systemReason();
    }
    if (S_ISREG(info.st_mode))
        return QStringLiteral("it is a file, not a folder");
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("it is a named pipe, not a folder");
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("it is a device or socket, not a folder");
    if (::access(name.constData(), R_OK | X_OK) != 0)
        return QStringLiteral("it cannot be read: %1").arg(systemReason());
    return QString();
}

bool sameFile(const QString &first, const QString &second)
{
    struct stat one, other;
    if (::stat(QFile::encodeName(first).constData(), &one) == 0
        && ::stat(QFile::encodeName(second).constData(), &other) == 0)
        return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
    // Not there yet: the real folder and the name.
    const auto resolved = [](const QString &path) {
        const QFileInfo info(path);
        const QString folder = info.absoluteDir().canonicalPath();
        return folder.isEmpty() ? info.absoluteFilePath() : folder + QLatin1Char('/') + info.fileName();
    };
    return resolved(first) == resolved(second);
}

} // namespace FileCheck
