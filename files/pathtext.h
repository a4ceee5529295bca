#ifndef PATHTEXT_H
#define PATHTEXT_H

#include <QDir>
#include <QFileInfo>
#include <QString>

// Paths as the job hands them to the encoder (absolute) and shows them to the user (with the
// platform's separators).
namespace PathText {

inline QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

inline QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace PathText

#endif // PATHTEXT_H
