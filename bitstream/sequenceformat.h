#ifndef SEQUENCEFORMAT_H
#define SEQUENCEFORMAT_H

#include <QString>

// The picture format a sequence parameter set declares, whatever its codec. Sizes are in luma
// samples.
struct SequenceFormat
{
    int codedWidth = 0, codedHeight = 0;
    int chromaFormat = 1;                 // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    bool separateColourPlanes = false;
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;   // conformance window
    int id = 0;                           // the set's id
    int log2MaxPocLsb = 4;                // bits of the picture order count's least significant part

    // The steps in which the conformance window can crop, in luma samples.
    int cropUnitX() const;
    int cropUnitY() const;
    bool sameCoding(const SequenceFormat &other) const;
    QString chromaName() const;           // e.g. "4:2:0"
    QString describe() const;             // e.g. "1920x1088 4:2:0 8-bit"
};

#endif // SEQUENCEFORMAT_H
