#include "parametersets.h"

#include "hevcbytestream.h"

#include "bitstream/bitreader.h"

namespace {

using H = HevcByteStream;

// Bounds past which a value is damage: 64 short-term sets, 16 pictures each way.
constexpr quint32 kMaxShortTermSets = 64;
constexpr quint32 kMaxDeltaPictures = 16;

void skipScalingLists(BitReader *reader)
{
    for (int size = 0; size < 4; ++size) {
        for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
            if (!reader->bits(1)) {                 // scaling_list_pred_mode_flag
                reader->ue();                       // scaling_list_pred_matrix_id_delta
                continue;
            }
            const int coefficients = qMin(64, 1 << (4 + (size << 1)));
            if (size > 1)
                reader->ue();                       // scaling_list_dc_coef_minus8 (se)
            for (int i = 0; i < coefficients && !reader->failed(); ++i)
                reader->ue();                       // scaling_list_delta_coef (se)
        }
    }
}

// One st_ref_pic_set() of a sequence parameter set; deltaPictures holds NumDeltaPocs of the
// sets before it, and gets this one's. False when it is out of range.
bool skipShortTermSet(BitReader *reader, int index, quint32 *deltaPictures)
{
    if (index > 0 && reader->bits(1)) {             // inter_ref_pic_set_prediction_flag
        reader->skip(1);                            // delta_rps_sign
        reader->ue();                               // abs_delta_rps_minus1
        quint32 count = 0;
        for (quint32 j = 0; j <= deltaPictures[index - 1] && !reader->failed(); ++j) {
            const bool used = reader->bits(1);      // used_by_curr_pic_flag
            if (used || reader->bits(1))            // use_delta_flag
                ++count;
        }
        deltaPictures[index] = count;
        return count <= 2 * kMaxDeltaPictures;
    }
    const quint32 negative = reader->ue(), positive = reader->ue();
    if (negative > kMaxDeltaPictures || positive > kMaxDeltaPictures)
        return false;
    for (quint32 i = 0; i < negative + positive; ++i) {
        reader->ue();                               // delta_poc_s0/s1_minus1
        reader->skip(1);                            // used_by_curr_pic_s0/s1_flag
    }
    deltaPictures[index] = negative + positive;
    return true;
}

int bitsFor(qint64 values)
{
    int bits = 0;
    while ((qint64(1) << bits) < values)
        ++bits;
    return bits;
}

// Reads the sequence parameter set on from the picture order count's size, up to
// long_term_ref_pics_present_flag. False when it is cut short or out of range.
bool readTail(BitReader reader, int subLayers, const SequenceFormat &format, ParameterSets::Sequence *sequence)
{
    const bool everySubLayer = reader.bits(1);      // sps_sub_layer_ordering_info_present_flag
    for (int i = everySubLayer ? 0 : subLayers; i <= subLayers; ++i) {
        reader.ue();
        reader.ue();
        reader.ue();
    }
    const quint32 minBlock = reader.ue() + 3, blockRange = reader.ue();
    if (minBlock > 6 || blockRange > 3 || minBlock + blockRange > 6)
        return false;
    for (int i = 0; i < 4; ++i)
        reader.ue();                                // transform block sizes and depths
    if (reader.bits(1) && reader.bits(1))           // scaling_list_enabled_flag, data present
        skipScalingLists(&reader);
    reader.skip(2);                                 // amp_enabled_flag, sample_adaptive_offset
    if (reader.bits(1)) {                           // pcm_enabled_flag
        reader.skip(8);
        reader.ue();
        reader.ue();
        reader.skip(1);
    }
    const quint32 shortTermSets = reader.ue();
    if (shortTermSets > kMaxShortTermSets)
        return false;
    quint32 deltaPictures[kMaxShortTermSets] = {};
    for (int i = 0; i < int(shortTermSets); ++i)
        if (!skipShortTermSet(&reader, i, deltaPictures))
            return false;
    sequence->longTermPictures = reader.bits(1);
    if (reader.failed())
        return false;
    const int ctbSize = 1 << (minBlock + blockRange);
    const qint64 ctbs = qint64((format.codedWidth + ctbSize - 1) / ctbSize) * ((format.codedHeight + ctbSize - 1) / ctbSize);
    sequence->sliceAddressBits = bitsFor(ctbs);
    return true;
}

} // namespace

bool ParameterSets::take(const char *nal, qsizetype size)
{
    if (size < 3 || H::nalLayer(nal) != 0)
        return true;
    if (H::nalType(nal) == H::Sps)
        return takeSequence(nal, size);
    if (H::nalType(nal) == H::Pps)
        return takePicture(nal, size);
    return true;
}

bool ParameterSets::takeSequence(const char *nal, qsizetype size)
{
    SequenceFormat format;
    BitReader rest(nal, 0);
    if (!H::readSequenceFormat(nal, size, &format, &rest)) {
        problem = QStringLiteral("a sequence parameter set is unreadable");
        return false;
    }
    Sequence sequence;
    sequence.known = true;
    sequence.log2MaxPocLsb = format.log2MaxPocLsb;
    sequence.separateColourPlanes = format.separateColourPlanes;
    // sps_max_sub_layers_minus1: the three bits after the video parameter set's id.
    const int subLayers = (uchar(nal[2]) >> 1) & 7;
    sequence.tailKnown = readTail(rest, subLayers, format, &sequence);
    sequences[format.id] = sequence;
    return true;
}

bool ParameterSets::takePicture(const char *nal, qsizetype size)
{
    BitReader reader(nal + 2, size - 2);
    const quint32 id = reader.ue();
    const quint32 sequence = reader.ue();
    Picture set;
    set.dependentSlices = reader.bits(1);
    set.outputFlagPresent = reader.bits(1);
    set.extraSliceHeaderBits = int(reader.bits(3));
    if (reader.failed() || id > 63 || sequence > 15) {
        problem = QStringLiteral("a picture parameter set is unreadable");
        return false;
    }
    set.known = true;
    set.sequence = int(sequence);
    pictures[id] = set;
    return true;
}

int ParameterSets::idOf(const char *nal, qsizetype size)
{
    if (size < 3)
        return -1;
    const int type = H::nalType(nal);
    if (type == H::Vps)
        return uchar(nal[2]) >> 4;
    SequenceFormat format;
    if (type == H::Sps)
        return H::readSequenceFormat(nal, size, &format) ? format.id : -1;
    if (type != H::Pps)
        return -1;
    BitReader reader(nal + 2, size - 2);
    const quint32 id = reader.ue();
    return reader.failed() || id > 63 ? -1 : int(id);
}

const ParameterSets::Picture *ParameterSets::picture(quint32 id) const
{
    if (id > 63 || !pictures[id].known || !sequences[pictures[id].sequence].known)
        return nullptr;
    return &pictures[id];
}

const ParameterSets::Sequence *ParameterSets::sequenceOf(const Picture &picture) const
{
    return &sequences[picture.sequence];
}
