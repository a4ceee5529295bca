#ifndef FILESTAMP_H
#define FILESTAMP_H

#include <QJsonObject>
#include <QString>

// What a record keeps of a file it was made from (an input, an encoder, a decoder): its
// absolute path, size and time of change. A file with another stamp counts as another file.
struct FileStamp
{
    QString path;
    qint64 size = 0;
    qint64 modifiedMs = 0;   // 0 where there is no file

    static FileStamp of(const QString &path);
    bool operator==(const FileStamp &other) const
    {
        return path == other.path && size == other.size && modifiedMs == other.modifiedMs;
    }
    QJsonObject toJson() const;
    static FileStamp fromJson(const QJsonObject &object);
};

#endif // FILESTAMP_H
