#ifndef EXACTSEAM_H
#define EXACTSEAM_H

#include "bitstream/codec.h"
#include "bitstream/streamindex.h"

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
    // A segment as the check reads it.
    struct Segment
    {
        const StreamIndex &index;
        QString path;
    };

    // Why a later segment cannot hold the copy: it does not open with an IDR picture (its first
    // picture's NAL unit type; -1 when it has none). Empty when it does.
    static QString openingProblem(const Codec &codec, int firstPictureType);
    // Whether the later segment's first picture is proven to be the copy of the earlier
    // segment's last, and nothing else stands in the way of joining them exactly. Tools are
    // what the proof decodes with where the codec needs them.
    static Check check(const Codec &codec, const Codec::Tools &tools, const Segment &earlier, const Segment &later,
                       const std::atomic_bool *stop = nullptr);
    // The picture order count that a segment's last picture has in the joined stream, when its
    // first coded video sequence counts on from `offset`.
    static int lastOrderCount(const StreamIndex &index, int offset);
    // The edits that make the later segment's first coded video sequence count on from
    // `offset`: the least significant bits of its picture order counts rewritten in every field
    // that holds them, nothing else. False, with problem set, where a field cannot be rewritten.
    static bool renumbering(const Codec &codec, const StreamIndex &later, int offset, QList<FileEdit> *edits,
                            QString *problem);
    // Whether a parameter set (from its NAL unit header) is an adaptation parameter set, which
    // pictures refer to by id across pictures (VVC's ALF, LMCS and scaling list sets).
    static bool isAdaptationSet(const Codec &codec, const QByteArray &set);
    // The adaptation parameter sets of the later segment's dropped access unit that differ from
    // those the earlier segment ends with, each after a four-byte start code: later pictures
    // may refer to them, so they open the next access unit (after its delimiter) instead.
    static QByteArray keptSets(const Codec &codec, const StreamIndex &earlier, const StreamIndex &later);
};

#endif // EXACTSEAM_H
