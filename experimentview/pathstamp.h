#ifndef PATHSTAMP_H
#define PATHSTAMP_H

#include <QString>

// What a look at a path tells of it without reading it: whether something is there, its size
// and its time of change to the nanosecond, and its inode, so that a file renamed into place
// counts as changed even with the same size in the same instant. A link is not followed.
struct PathStamp
{
    bool exists = false;
    bool folder = false;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 inode = 0;

    static PathStamp of(const QString &path);
    bool operator==(const PathStamp &other) const
    {
        return exists == other.exists && folder == other.folder && size == other.size
            && modifiedNs == other.modifiedNs && inode == other.inode;
    }
    bool operator!=(const PathStamp &other) const { return !(*this == other); }
};

#endif // PATHSTAMP_H
