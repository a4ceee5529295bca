#ifndef EXACTSEAM_H
#define EXACTSEAM_H

#include "segmentindex.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

// A seam where the earlier segment ends with the picture the later one opens with: the earlier
// segment also coded the later one's first picture, as the intra picture it is in one piece,
// and the later segment opened with its copy as an IDR picture. Joined exactly, the copy's
// access unit goes and the later segment's pictures count on from the earlier ones', which
// gives the stream one encoder would have written in one piece.
class ExactSeam
{
public:
    struct Check
    {
        // It looks like such a seam: the earlier segment's last picture is an intra picture,
        // and the later segment opens with an IDR picture.
        bool overlaps = false;
        QString problem;           // why it cannot be joined exactly; empty when proven
    };
    // A change to a file's bytes on their way to the output.
    struct FileEdit
    {
        qint64 at = 0;
        QByteArray before;         // the bytes there, as the edit was made for
        QByteArray after;
    };

    // Whether the later segment's first picture is proven to be the copy of the earlier
    // segment's last, and nothing else stands in the way of joining them exactly.
    static Check check(const SegmentIndex &earlier, const QString &earlierPath, const SegmentIndex &later,
                       const QString &laterPath, const std::atomic_bool *stop = nullptr);
    // The picture order count that a segment's last picture has in the joined stream, when its
    // first coded video sequence counts on from `offset`.
    static int lastOrderCount(const SegmentIndex &index, int offset);
    // The edits that make the later segment's first coded video sequence count on from
    // `offset`: slice_pic_order_cnt_lsb rewritten in every slice header, nothing else. False,
    // with problem set, where a header cannot be rewritten.
    static bool renumbering(const SegmentIndex &later, int offset, QList<FileEdit> *edits, QString *problem);
};

#endif // EXACTSEAM_H
