#ifndef VVCSTREAMINDEX_H
#define VVCSTREAMINDEX_H

#include "vvcparametersets.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>

// One walk over a VVC byte stream file (slices read only as far as their picture headers):
// its access units with their pictures' order counts and picture hashes, where each picture's
// order count lies, the parameter sets it opens with and those in force at its end, and the
// picture size the first picture is shown at. Enough to count a stream's pictures, to check
// its pictures' hashes against another copy, and to join segments.
class VvcStreamIndex
{
public:
    struct AccessUnit
    {
        qint64 start = 0;          // its first start code, with the zero bytes before it
        qint64 end = 0;            // where the next access unit starts; the file's size for the last
        qint64 afterDelimiter = 0; // where its units after an access unit delimiter start (start without one)
        bool picture = false;      // it holds a picture of the base layer (the fields below are its)
        int nalType = -1;          // of its first slice
        int temporalId = 0;
        bool nonReference = false;
        int pictureOrderCount = 0;
        int codedSequence = 0;     // counted from 0, the stream's opening picture's
        bool shown = false;        // a decoder outputs it (a RASL picture of the opening CRA it skips is not)
        QByteArray hash;           // the payload of its decoded picture hash SEI message; empty without
        // A random-access picture's: the parameter sets in force before its access unit, each
        // after a start code, which decode it on its own with the sets it brings.
        QByteArray setsBefore;

        bool irap() const;
        bool idr() const;
    };
    // Where a picture's ph_pic_order_cnt_lsb lies: in a PH NAL unit or in its slice's header.
    struct OrderField
    {
        qint64 offset = 0;         // of its NAL unit header in the file
        QByteArray head;           // the unit's first bytes (trailing zero bytes taken off)
        bool whole = false;        // head is the whole unit
        qint64 bitAt = 0;          // of the field, in the RBSP after the two-byte header
        int bits = 0;
        quint32 value = 0;
        int unit = 0;              // its access unit's index
    };
    // A parameter set NAL unit, as in the file.
    struct SetUnit
    {
        int key = 0;               // VvcParameterSets::keyOf
        QByteArray bytes;          // from its header, without trailing zero bytes
    };

    static VvcStreamIndex read(const QString &path, const std::atomic_bool *stop = nullptr);

    // The pictures of the base layer.
    int pictures() const;

    QString problem;               // why it could not be read whole (the rest is then partial)
    QList<AccessUnit> units;       // in decoding order
    QList<OrderField> orderFields; // one a picture, in decoding order
    QList<SetUnit> openingSets;    // the parameter sets of the first access unit
    QMap<int, QByteArray> finalSets;   // the last of each parameter set, by key
    VvcPictureFormat format;       // of the first picture, as its picture parameter set gives it
    bool formatKnown = false;
    bool longTermPictures = false; // a sequence allows long-term references, named by order count
    bool interLayer = false;       // a sequence allows references to other layers
    bool endsSequence = false;     // its last NAL unit ends a sequence or the bitstream
    qint64 size = 0;
};

#endif // VVCSTREAMINDEX_H
