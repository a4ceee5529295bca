#ifndef STREAMINDEX_H
#define STREAMINDEX_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

class QFile;

// A change to a file's bytes on their way to the output.
struct FileEdit
{
    qint64 at = 0;
    QByteArray before;         // the bytes there, as the edit was made for (empty: an insertion)
    QByteArray after;
};

// What the join needs to know of one stream to join it to its neighbours without a cut in
// the coding, from one walk over its NAL units by its codec (Codec::index; slices read only as
// far as their headers): its access units with their pictures' order counts and picture
// hashes, the parameter sets it opens with and ends with, and where the picture order count
// lies in the NAL units of its first coded video sequence.
class StreamIndex
{
public:
    struct Unit
    {
        qint64 start = 0;          // of its access unit: the zero bytes before its first start code
        qint64 end = 0;            // where the next access unit starts; the file's size for the last
        // Where parameter sets put into it go: after its access unit delimiter (0: at start).
        qint64 setsAt = 0;
        bool picture = false;      // it holds a picture of the base layer (the fields below are its)
        int nalType = -1;          // of its first slice
        bool irap = false;         // a random-access picture
        bool shown = false;        // a decoder outputs it
        int pictureOrderCount = 0;
        int codedSequence = 0;     // counted from 0, the stream's opening picture's
        QByteArray hash;           // the payload of its decoded picture hash SEI message; empty without
        QByteArray sets;           // a random-access picture's parameter sets in force, each after a start code
    };
    // A field of the first coded video sequence that holds a picture's order count (its least
    // significant bits): in every slice header in HEVC.
    struct OrderField
    {
        qint64 offset = 0;         // of its NAL unit header in the file
        QByteArray head;           // the unit's first bytes (trailing zero bytes taken off)
        bool whole = false;        // head is the whole unit
        qint64 bitAt = 0;          // of the field, in the RBSP that follows the NAL unit header
        int bits = 0;
        int unit = 0;              // its access unit's index
    };
    using SetKey = int;            // a parameter set's kind and id, as its codec tells them apart

    // The access unit whose picture a decoder outputs last; -1 when none.
    int lastShown() const;
    // Sets where each access unit starts and ends, given the offset of each one's first NAL
    // unit header: from the zero bytes before its first start code, which belong to it (a
    // four-byte start code's leading zero among them), to the next one's. False when the file
    // cannot be read.
    bool placeUnits(QFile *file, const QList<qint64> &firstNalUnits);

    QString problem;               // why it could not be read whole (the rest is then partial)
    QList<Unit> units;             // in decoding order
    QList<OrderField> orderFields;
    QMap<SetKey, QByteArray> finalSets;           // the last of each parameter set, as in the file
    QList<QPair<SetKey, QByteArray>> openingSets; // those of the first access unit
    bool longTermPictures = false; // its first sequence allows long-term reference pictures
    bool endsSequence = false;     // its last NAL unit ends a sequence or the bitstream
    qint64 size = 0;
};

#endif // STREAMINDEX_H
