#ifndef FILEURL_H
#define FILEURL_H

// How the mux names a file to libavformat: the file protocol is named, so that a colon in a name
// is not taken for a protocol.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

inline QByteArray fileUrl(const QString &path)
{
    return "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

#endif // FILEURL_H
