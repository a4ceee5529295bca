#include "jsonfile.h"

#include "files/replacefile.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <sys/stat.h>

namespace {

// The file type at the name, not followed if it is a link; 0 where there is nothing.
mode_t typeAt(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

} // namespace

namespace JsonFile {

bool read(const QString &path, QJsonObject *object, QString *problem)
{
    const mode_t type = typeAt(path);
    if (type == 0)
        return false;
    if (type != S_IFREG) {
        *problem = QStringLiteral("%1 is not a regular file (a link is never followed)").arg(QDir::toNativeSeparators(path));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    QJsonParseError error;
    // read(n) sets n bytes aside before it reads: asked for no more than the file holds, a small
    // record costs no large allocation.
    const QJsonDocument document = QJsonDocument::fromJson(file.read(qMin<qint64>(file.size(), 16 << 20)), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *problem = QStringLiteral("%1 is damaged (%2)").arg(QDir::toNativeSeparators(path), error.errorString());
        return false;
    }
    *object = document.object();
    return true;
}

QString write(const QString &path, const QJsonObject &object)
{
    if (typeAt(path) == S_IFLNK)
        return QStringLiteral("%1 is a link, which is never followed").arg(QDir::toNativeSeparators(path));
    return ReplaceFile::writeWhole(path, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

} // namespace JsonFile
