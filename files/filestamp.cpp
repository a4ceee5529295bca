#include "filestamp.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

// From the file's own stat, as QFileInfo gives it (links followed, the time in milliseconds),
// without its time turned into a local one, which reads the zone's file on every call.
FileStamp FileStamp::of(const QString &path)
{
    FileStamp stamp{QFileInfo(path).absoluteFilePath(), 0, 0};
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        stamp.size = qint64(info.st_size);
        stamp.modifiedMs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    }
    return stamp;
}

QJsonObject FileStamp::toJson() const
{
    return QJsonObject{{"path", path}, {"size", size}, {"modified_ms", modifiedMs}};
}

FileStamp FileStamp::fromJson(const QJsonObject &object)
{
    return FileStamp{object.value(QStringLiteral("path")).toString(),
                     qint64(object.value(QStringLiteral("size")).toDouble()),
                     qint64(object.value(QStringLiteral("modified_ms")).toDouble())};
}
