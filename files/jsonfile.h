#ifndef JSONFILE_H
#define JSONFILE_H

#include <QJsonObject>
#include <QString>

// Small JSON files in a folder that others may share: read and written whole, never through a
// link. A file is written under a temporary name, synced, then renamed into place, so that a
// reader sees the old file or the new one, never a part.
namespace JsonFile {

// False with an empty problem where nothing is at `path`; false with the problem where
// something is there but is not a regular file, cannot be read or holds no JSON object.
bool read(const QString &path, QJsonObject *object, QString *problem);
// The problem, or an empty string once the file is in place.
QString write(const QString &path, const QJsonObject &object);

} // namespace JsonFile

#endif // JSONFILE_H
