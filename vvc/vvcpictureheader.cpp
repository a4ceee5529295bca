#include "vvcpictureheader.h"

#include "vvcnalunit.h"
#include "vvcparametersets.h"

#include "bitstream/bitreader.h"

bool VvcPictureHeader::read(const VvcParameterSets &sets, const char *nal, qsizetype size, VvcPictureHeader *header,
                            QString *problem)
{
    const int type = size >= 2 ? VvcNalUnit::type(nal) : -1;
    const bool slice = VvcNalUnit::isSlice(type);
    if (type != VvcNalUnit::PictureHeader && !(slice && inSlice(nal, size))) {
        *problem = QStringLiteral("is missing");
        return false;
    }
    BitReader reader(nal + 2, size - 2);
    if (slice)
        reader.skip(1);                            // sh_picture_header_in_slice_header_flag
    VvcPictureHeader parsed;
    parsed.gdrOrIrap = reader.bits(1);
    parsed.nonReference = reader.bits(1);
    if (parsed.gdrOrIrap)
        parsed.gdr = reader.bits(1);
    if (reader.bits(1))                            // ph_inter_slice_allowed_flag
        reader.skip(1);                            // ph_intra_slice_allowed_flag
    const quint32 setId = reader.ue();
    const VvcParameterSets::Picture *picture = reader.failed() ? nullptr : sets.picture(setId);
    if (!picture) {
        *problem = QStringLiteral("names no parameter set read before it");
        return false;
    }
    const VvcParameterSets::Sequence &sequence = *sets.sequenceOf(*picture);
    parsed.pictureSet = int(setId);
    parsed.pocLsbBits = sequence.log2MaxPocLsb;
    parsed.pocLsbAt = reader.position();
    parsed.pocLsb = reader.bits(sequence.log2MaxPocLsb);
    if (parsed.gdr)
        reader.ue();                               // ph_recovery_poc_cnt
    reader.skip(sequence.extraPictureHeaderBits);  // ph_extra_bit
    if (sequence.pocMsbCycle) {
        parsed.pocMsbPresent = reader.bits(1);
        if (parsed.pocMsbPresent)
            parsed.pocMsbCycle = reader.bits(sequence.pocMsbCycleBits);
    }
    if (reader.failed()) {
        *problem = QStringLiteral("is cut short");
        return false;
    }
    *header = parsed;
    return true;
}
