#ifndef VVCJOIN_H
#define VVCJOIN_H

#include "vvcstreamindex.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>

// The exact join of VVC segments encoded apart with one picture of overlap, and the rewrite of
// picture order counts it rests on. The opening comment of vvcjoin.cpp says what a join keeps,
// drops and rewrites.
class VvcJoin
{
public:
    // A change to a file's bytes on their way to the output.
    struct FileEdit
    {
        qint64 at = 0;
        QByteArray before;         // the bytes there, as the edit was made for
        QByteArray after;
    };

    // The edits that make every picture from access unit `fromUnit` on count `offset` further:
    // ph_pic_order_cnt_lsb rewritten in each picture header, nothing else. False, with problem
    // set, where a header cannot be rewritten.
    static bool renumbering(const VvcStreamIndex &index, int offset, int fromUnit, QList<FileEdit> *edits,
                            QString *problem);
    // The picture order count that a segment's last shown picture has in the joined stream
    // when its pictures count `offset` further.
    static int lastOrderCount(const VvcStreamIndex &index, int offset);
    // Why the later segment cannot follow the earlier exactly, with `inForce` the parameter
    // sets in force where the earlier one ends (by key); empty when it can: the earlier one
    // ends with an intra picture whose copy opens the later one as an IDR picture, both copies
    // carry the same picture hash, and the later one's sequence and picture parameter sets are
    // those in force.
    static QString seamProblem(const VvcStreamIndex &earlier, const VvcStreamIndex &later,
                               const QMap<int, QByteArray> &inForce);

    // Joins the segments, in order, into output, every seam exactly. False, with problem set
    // (naming the segment), when a segment cannot be read or a seam cannot be joined exactly;
    // output is then left as it was.
    static bool join(const QStringList &segments, const QString &output, QString *problem,
                     const std::atomic_bool *stop = nullptr);
    // Writes a copy of the stream at path to output with every picture counting `offset`
    // further.
    static bool renumber(const QString &path, const QString &output, int offset, QString *problem);
};

#endif // VVCJOIN_H
