#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace RegularFile {

QString open(const QString &path, QFile *file)
{
#ifdef Q_OS_UNIX
    // Opened without blocking and checked through the descriptor, so that what is checked is
    // what is read.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat info;
    QString problem;
    if (::fstat(fd, &info) != 0)
        problem = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISFIFO(info.st_mode))
        problem = QStringLiteral("it is a named pipe, not a regular file");
    else if (S_ISDIR(info.st_mode))
        problem = QStringLiteral("it is a folder, not a regular file");
    else if (!S_ISREG(info.st_mode))
        problem = QStringLiteral("it is a device or socket, not a regular file");
    else if (::fcntl(fd, F_SETFL, O_RDONLY) != 0 || !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        problem = file->errorString();
    if (!problem.isEmpty()) {
        ::close(fd);
        return problem;
    }
    return QString();
#else
    file->setFileName(path);
    return file->open(QIODevice::ReadOnly) ? QString() : file->errorString();
#endif
}

} // namespace RegularFile
