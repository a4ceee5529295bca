#include "replacefile.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
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

} // namespace ReplaceFile
