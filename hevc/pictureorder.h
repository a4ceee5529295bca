#ifndef PICTUREORDER_H
#define PICTUREORDER_H

// Works out where each access unit of an HEVC stream comes in output order, the way a decoder
// does: from the picture order counts in the slice headers, which start again with every coded
// video sequence (at an IDR or BLA picture, and at a CRA picture that opens the stream or follows
// an end of sequence). The leading pictures a decoder skips there (RASL pictures, which refer to
// pictures before the sequence) are not output.

#include "parametersets.h"

#include "bitstream/outputorder.h"

#include <QString>
#include <QVector>

class PictureOrder : public OutputOrder
{
public:
    bool addAccessUnit(const char *data, qsizetype size) override;
    bool finish() override;

    int units() const override { return int(entries.size()); }
    int shown() const override { return shownCount; }
    Kind kind(int unit) const override { return entries.at(unit).kind; }
    bool isRandomAccess(int unit) const override { return entries.at(unit).randomAccess; }
    int outputPlace(int unit) const override { return entries.at(unit).place; }

    // The picture's order count and the coded video sequence it belongs to (counted from 0),
    // for an access unit with a picture.
    int pictureOrderCount(int unit) const { return entries.at(unit).poc; }
    int codedSequenceOf(int unit) const { return entries.at(unit).codedSequence; }

private:
    struct Entry
    {
        Kind kind = NoPicture;
        bool randomAccess = false;
        int codedSequence = 0;
        int poc = 0;
        int place = -1;
    };

    bool readSlice(const char *nal, qsizetype size, Entry *entry);

    ParameterSets sets;
    QVector<Entry> entries;
    int codedSequence = -1;
    int previousTid0Poc = 0;
    bool opensSequence = true;   // the next random-access picture starts a sequence anew
    bool skippingLeading = false; // RASL pictures of the current random-access picture are skipped
    int shownCount = 0;
};

#endif // PICTUREORDER_H
