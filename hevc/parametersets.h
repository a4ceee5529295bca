#ifndef PARAMETERSETS_H
#define PARAMETERSETS_H

// The fields of the sequence and picture parameter sets in force that a slice segment header's
// first fields depend on, kept by id as the sets come in a stream, so that a slice header can
// be read to its picture order count the way a decoder reads it.

#include <QString>
#include <QtGlobal>

class ParameterSets
{
public:
    struct Sequence
    {
        bool known = false;
        int log2MaxPocLsb = 4;             // bits of slice_pic_order_cnt_lsb
        bool separateColourPlanes = false;
        // What needs the rest of the set (after the picture order count's size): the bits of
        // slice_segment_address, and whether pictures may use long-term references, which
        // slice headers name by picture order count. False where that part is unreadable.
        bool tailKnown = false;
        int sliceAddressBits = 0;
        bool longTermPictures = false;
    };
    struct Picture
    {
        bool known = false;
        int sequence = 0;
        bool dependentSlices = false;
        bool outputFlagPresent = false;
        int extraSliceHeaderBits = 0;
    };

    // Takes a sequence or picture parameter set NAL unit of the base layer (two-byte header
    // first, escaped); other units are passed over. False, with problem set, when a set is
    // unreadable.
    bool take(const char *nal, qsizetype size);

    // The id of a video, sequence or picture parameter set NAL unit; -1 for another unit or
    // one that is unreadable.
    static int idOf(const char *nal, qsizetype size);

    // The picture parameter set of this id and the sequence parameter set it names, both
    // read before; nullptr otherwise.
    const Picture *picture(quint32 id) const;
    const Sequence *sequenceOf(const Picture &picture) const;

    QString problem;

private:
    bool takeSequence(const char *nal, qsizetype size);
    bool takePicture(const char *nal, qsizetype size);

    Sequence sequences[16];
    Picture pictures[64];
};

#endif // PARAMETERSETS_H
