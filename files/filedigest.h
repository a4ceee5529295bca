#ifndef FILEDIGEST_H
#define FILEDIGEST_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// A file's contents as one digest, with the stamp the file had when they were read: its size,
// its times of change and of status change to the nanosecond, and its inode. The digest is
// BLAKE2b-256: as strong as SHA-256 against a changed file passing for the same, and several
// times faster in Qt Core, which is all it needs.
//
// Reading a large file again for every look would cost more than the look is worth, so a file
// whose stamp is still the recorded one counts as unchanged without being read: every write
// through the file system sets its time of status change to the moment of the write, and no
// call can set that time back (touch and utime set it too), so an edited file never keeps its
// stamp. A file copied, moved or restored from a backup has another stamp and is read and
// compared again; its contents decide.
struct FileDigest
{
    QByteArray digest;       // hex; empty: none taken
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;    // time of status change (ctime)
    quint64 inode = 0;

    // How a file stands against a digest taken before.
    enum Match {
        Unchanged,     // the same stamp: not read
        SameContents,  // another stamp (copied, moved, touched), the same contents
        Changed,       // other contents, or another size
        Unreadable     // missing or not readable: problem says why
    };

    bool taken() const { return !digest.isEmpty(); }
    // Reads the whole file; *problem set (and no digest) when it cannot be read.
    static FileDigest of(const QString &path, QString *problem);
    // The stamp the file has now, without a digest; size -1 when there is no such file.
    static FileDigest stampOf(const QString &path);
    bool sameStamp(const FileDigest &other) const;
    // How the file at path stands against this digest. A file whose stamp changed is read
    // again, once in this process for each stamp it has.
    Match check(const QString &path, QString *problem) const;

    QJsonObject toJson() const;
    // An object without a digest gives one that is not taken().
    static FileDigest fromJson(const QJsonObject &object);
};

#endif // FILEDIGEST_H
