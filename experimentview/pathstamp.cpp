#include "pathstamp.h"

#include <QFile>

#include <sys/stat.h>

PathStamp PathStamp::of(const QString &path)
{
    PathStamp stamp;
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.folder = S_ISDIR(info.st_mode);
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.inode = quint64(info.st_ino);
    return stamp;
}
