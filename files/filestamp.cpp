#include "filestamp.h"

#include <QDateTime>
#include <QFileInfo>

FileStamp FileStamp::of(const QString &path)
{
    const QFileInfo info(path);
    return FileStamp{info.absoluteFilePath(), info.size(),
                     info.exists() ? info.lastModified().toMSecsSinceEpoch() : 0};
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
