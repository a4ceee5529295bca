#include "sliceheader.h"

#include "hevcbytestream.h"
#include "parametersets.h"

#include "bitstream/bitreader.h"

bool SliceHeader::read(const ParameterSets &sets, const char *nal, qsizetype size, SliceHeader *header,
                       QString *problem)
{
    using H = HevcByteStream;
    SliceHeader parsed;
    parsed.nalType = H::nalType(nal);
    BitReader reader(nal + 2, size - 2);
    parsed.firstInPicture = reader.bits(1);
    if (H::isIrap(parsed.nalType))
        reader.skip(1);                              // no_output_of_prior_pics_flag
    const quint32 setId = reader.ue();
    const ParameterSets::Picture *picture = reader.failed() ? nullptr : sets.picture(setId);
    if (!picture) {
        *problem = QStringLiteral("names no parameter set read before it");
        return false;
    }
    const ParameterSets::Sequence &sequence = *sets.sequenceOf(*picture);
    parsed.pictureSet = int(setId);
    parsed.longTermPictures = sequence.longTermPictures;
    if (!parsed.firstInPicture) {
        if (!sequence.tailKnown) {
            *problem = QStringLiteral("needs fields of its sequence parameter set that cannot be read");
            return false;
        }
        if (picture->dependentSlices)
            parsed.dependent = reader.bits(1);
        reader.skip(sequence.sliceAddressBits);      // slice_segment_address
    }
    if (!parsed.dependent) {
        reader.skip(picture->extraSliceHeaderBits);  // slice_reserved_flag
        reader.ue();                                 // slice_type
        if (picture->outputFlagPresent)
            parsed.output = reader.bits(1);
        if (sequence.separateColourPlanes)
            reader.skip(2);                          // colour_plane_id
        if (!H::isIdr(parsed.nalType)) {
            parsed.hasPocLsb = true;
            parsed.pocLsbBits = sequence.log2MaxPocLsb;
            parsed.pocLsbAt = reader.position();
            parsed.pocLsb = reader.bits(sequence.log2MaxPocLsb);
        }
    }
    if (reader.failed()) {
        *problem = QStringLiteral("is cut short");
        return false;
    }
    *header = parsed;
    return true;
}
