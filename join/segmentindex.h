#ifndef SEGMENTINDEX_H
#define SEGMENTINDEX_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <atomic>

// What the join needs to know of one segment to join it to its neighbours without a cut in
// the coding, from one walk over its NAL units (slices read only as far as their headers):
// its access units with their pictures' order counts and picture hashes, the parameter sets
// it opens with and ends with, and where the picture order count lies in each slice header
// of its first coded video sequence.
class SegmentIndex
{
public:
    struct Unit
    {
        qint64 start = 0;          // of its access unit: the zero bytes before its first start code
        qint64 end = 0;            // where the next access unit starts; the file's size for the last
        bool picture = false;      // it holds a picture of the base layer (the fields below are its)
        int nalType = -1;          // of its first slice
        bool shown = false;        // a decoder outputs it
        int pictureOrderCount = 0;
        int codedSequence = 0;     // counted from 0, the segment's opening picture's
        QByteArray hash;           // the payload of its decoded picture hash SEI message; empty without
        QByteArray sets;           // a random-access picture's parameter sets in force, each after a start code

        bool irap() const;
        bool idr() const;
    };
    // A slice segment header of the first coded video sequence that carries
    // slice_pic_order_cnt_lsb.
    struct OrderField
    {
        qint64 offset = 0;         // of its NAL unit header in the file
        QByteArray head;           // the unit's first bytes (trailing zero bytes taken off)
        bool whole = false;        // head is the whole unit
        qint64 bitAt = 0;          // of the field, in the RBSP after the two-byte header
        int bits = 0;
        int unit = 0;              // its access unit's index
    };
    using SetKey = int;            // NAL unit type << 8 | id

    static SegmentIndex read(const QString &path, const std::atomic_bool *stop = nullptr);

    // The access unit whose picture a decoder outputs last; -1 when none.
    int lastShown() const;

    QString problem;               // why it could not be read whole (the rest is then partial)
    QList<Unit> units;             // in decoding order
    QList<OrderField> orderFields;
    QMap<SetKey, QByteArray> finalSets;           // the last of each parameter set, as in the file
    QList<QPair<SetKey, QByteArray>> openingSets; // those of the first access unit
    bool longTermPictures = false; // its first sequence allows long-term reference pictures
    bool endsSequence = false;     // its last NAL unit ends a sequence or the bitstream
    qint64 size = 0;
};

#endif // SEGMENTINDEX_H
