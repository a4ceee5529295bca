#include "vvcparametersets.h"

#include "vvcnalunit.h"

#include "bitstream/bitreader.h"

namespace {

using N = VvcNalUnit;

// The largest picture size any level allows; anything above is damage, not a picture.
constexpr quint32 kMaxPictureSide = 16888;

int ceilLog2(quint32 value)
{
    int bits = 0;
    while ((quint64(1) << bits) < value)
        ++bits;
    return bits;
}

void alignToByte(BitReader *reader)
{
    while (reader->position() % 8 && !reader->failed())
        reader->skip(1);
}

// profile_tier_level() with its profile and tier present, as a sequence parameter set carries it.
void skipProfileTierLevel(BitReader *reader, int subLayers)
{
    reader->skip(7 + 1 + 8);                        // general_profile_idc, general_tier_flag, general_level_idc
    reader->skip(2);                                // ptl_frame_only_constraint_flag, ptl_multilayer_enabled_flag
    if (reader->bits(1)) {                          // gci_present_flag
        reader->skip(71);                           // the general constraint flags and fields
        reader->skip(int(reader->bits(8)));         // gci_num_additional_bits, then those bits
    }
    alignToByte(reader);                            // gci_alignment_zero_bit
    bool levelPresent[8] = {};
    for (int i = subLayers - 1; i >= 0; --i)
        levelPresent[i] = reader->bits(1);          // ptl_sublayer_level_present_flag
    alignToByte(reader);                            // ptl_reserved_zero_bit
    for (int i = subLayers - 1; i >= 0; --i)
        if (levelPresent[i])
            reader->skip(8);                        // sublayer_level_idc
    const int subProfiles = int(reader->bits(8));   // ptl_num_sub_profiles
    for (int i = 0; i < subProfiles && !reader->failed(); ++i)
        reader->skip(32);                           // general_sub_profile_idc
}

// The subpicture layout of a sequence parameter set, after sps_subpic_info_present_flag.
bool skipSubpictures(BitReader *reader, quint32 width, quint32 height, int ctuSize)
{
    const quint32 columns = (width + ctuSize - 1) / ctuSize, rows = (height + ctuSize - 1) / ctuSize;
    const quint32 count = reader->ue() + 1;         // sps_num_subpics_minus1
    if (count > columns * rows)
        return false;
    if (count > 1) {
        const bool independent = reader->bits(1);   // sps_independent_subpics_flag
        const bool sameSize = reader->bits(1);      // sps_subpic_same_size_flag
        for (quint32 i = 0; i < count && !reader->failed(); ++i) {
            if (!sameSize || i == 0) {
                if (i > 0 && width > quint32(ctuSize))
                    reader->skip(ceilLog2(columns));    // sps_subpic_ctu_top_left_x
                if (i > 0 && height > quint32(ctuSize))
                    reader->skip(ceilLog2(rows));       // sps_subpic_ctu_top_left_y
                if (i < count - 1 && width > quint32(ctuSize))
                    reader->skip(ceilLog2(columns));    // sps_subpic_width_minus1
                if (i < count - 1 && height > quint32(ctuSize))
                    reader->skip(ceilLog2(rows));       // sps_subpic_height_minus1
            }
            if (!independent)
                reader->skip(2);    // sps_subpic_treated_as_pic_flag, sps_loop_filter_across_subpic_enabled_flag
        }
    }
    const quint32 idBits = reader->ue() + 1;        // sps_subpic_id_len_minus1
    if (idBits > 16)
        return false;
    if (reader->bits(1) && reader->bits(1)) {       // explicitly signalled, and present here
        for (quint32 i = 0; i < count && !reader->failed(); ++i)
            reader->skip(int(idBits));              // sps_subpic_id
    }
    return !reader->failed();
}

// Two ue(v) values when the depth before them is not zero: the largest binary and ternary
// split sizes of one kind of slice.
void skipSplitSizes(BitReader *reader)
{
    if (reader->ue() != 0) {                        // sps_max_mtt_hierarchy_depth_*
        reader->ue();
        reader->ue();
    }
}

// The sequence parameter set from its decoded picture buffer sizes up to the flags that say
// whether pictures may use long-term and inter-layer references.
bool readTail(BitReader reader, bool profilePresent, int subLayers, int ctuLog2, int chromaFormat,
              VvcParameterSets::Sequence *sequence)
{
    if (profilePresent) {
        const bool everySubLayer = subLayers > 0 && reader.bits(1);     // sps_sublayer_dpb_params_flag
        for (int i = everySubLayer ? 0 : subLayers; i <= subLayers; ++i) {
            reader.ue();
            reader.ue();
            reader.ue();
        }
    }
    reader.ue();                                    // sps_log2_min_luma_coding_block_size_minus2
    reader.skip(1);                                 // sps_partition_constraints_override_enabled_flag
    reader.ue();                                    // intra slices, luma: min_qt
    skipSplitSizes(&reader);
    if (chromaFormat != 0 && reader.bits(1)) {      // sps_qtbtt_dual_tree_intra_flag
        reader.ue();                                // intra slices, chroma: min_qt
        skipSplitSizes(&reader);
    }
    reader.ue();                                    // inter slices: min_qt
    skipSplitSizes(&reader);
    if (ctuLog2 > 5)
        reader.skip(1);                             // sps_max_luma_transform_size_64_flag
    if (reader.bits(1)) {                           // sps_transform_skip_enabled_flag
        reader.ue();
        reader.skip(1);                             // sps_bdpcm_enabled_flag
    }
    if (reader.bits(1))                             // sps_mts_enabled_flag
        reader.skip(2);
    reader.skip(1);                                 // sps_lfnst_enabled_flag
    if (chromaFormat != 0) {
        const bool joint = reader.bits(1);          // sps_joint_cbcr_enabled_flag
        const bool same = reader.bits(1);           // sps_same_qp_table_for_chroma_flag
        const int tables = same ? 1 : joint ? 3 : 2;
        for (int i = 0; i < tables && !reader.failed(); ++i) {
            reader.ue();                            // sps_qp_table_start_minus26 (se)
            const quint32 points = reader.ue() + 1; // sps_num_points_in_qp_table_minus1
            if (points > 64)
                return false;
            for (quint32 j = 0; j < 2 * points; ++j)
                reader.ue();                        // sps_delta_qp_in_val_minus1, sps_delta_qp_diff_val
        }
    }
    reader.skip(1);                                 // sps_sao_enabled_flag
    if (reader.bits(1) && chromaFormat != 0)        // sps_alf_enabled_flag
        reader.skip(1);                             // sps_ccalf_enabled_flag
    reader.skip(3);                                 // sps_lmcs_enable_flag, sps_weighted_pred_flag, sps_weighted_bipred_flag
    sequence->longTermPictures = reader.bits(1);
    if (sequence->videoSet > 0)
        sequence->interLayer = reader.bits(1);
    return !reader.failed();
}

} // namespace

QString VvcPictureFormat::describe() const
{
    static const char *const chroma[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
    QString size = QStringLiteral("%1x%2").arg(width()).arg(height());
    if (width() != codedWidth || height() != codedHeight)
        size += QStringLiteral(" (coded %1x%2)").arg(codedWidth).arg(codedHeight);
    return QStringLiteral("%1 %2 %3-bit").arg(size, QString::fromLatin1(chroma[chromaFormat & 3])).arg(bitDepth);
}

bool VvcParameterSets::readSequence(const char *nal, qsizetype size, Sequence *sequence)
{
    if (size < 4 || N::type(nal) != N::Sps)
        return false;
    BitReader reader(nal + 2, size - 2);
    Sequence parsed;
    parsed.id = int(reader.bits(4));
    parsed.videoSet = int(reader.bits(4));
    const int subLayers = int(reader.bits(3));      // sps_max_sublayers_minus1
    parsed.format.chromaFormat = int(reader.bits(2));
    const int ctuLog2 = int(reader.bits(2)) + 5;
    if (subLayers > 6 || ctuLog2 > 7)
        return false;
    const bool profilePresent = reader.bits(1);     // sps_ptl_dpb_hrd_params_present_flag
    if (profilePresent)
        skipProfileTierLevel(&reader, subLayers);
    reader.skip(1);                                 // sps_gdr_enabled_flag
    if (reader.bits(1))                             // sps_ref_pic_resampling_enabled_flag
        reader.skip(1);                             // sps_res_change_in_clvs_allowed_flag
    const quint32 width = reader.ue(), height = reader.ue();
    if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide)
        return false;
    VvcPictureFormat &format = parsed.format;
    format.codedWidth = int(width);
    format.codedHeight = int(height);
    if (reader.bits(1)) {                           // sps_conformance_window_flag
        const quint32 left = reader.ue(), right = reader.ue(), top = reader.ue(), bottom = reader.ue();
        if ((quint64(left) + right) * format.cropUnitX() >= width || (quint64(top) + bottom) * format.cropUnitY() >= height)
            return false;
        format.cropLeft = int(left) * format.cropUnitX();
        format.cropRight = int(right) * format.cropUnitX();
        format.cropTop = int(top) * format.cropUnitY();
        format.cropBottom = int(bottom) * format.cropUnitY();
    }
    if (reader.bits(1) && !skipSubpictures(&reader, width, height, 1 << ctuLog2))   // sps_subpic_info_present_flag
        return false;
    const quint32 depth = reader.ue();              // sps_bitdepth_minus8
    reader.skip(2);                                 // entropy coding sync, entry point offsets
    parsed.log2MaxPocLsb = int(reader.bits(4)) + 4;
    if (depth > 8 || parsed.log2MaxPocLsb > 16)
        return false;
    format.bitDepth = 8 + int(depth);
    parsed.pocMsbCycle = reader.bits(1);
    if (parsed.pocMsbCycle) {
        parsed.pocMsbCycleBits = int(reader.ue()) + 1;
        if (parsed.pocMsbCycleBits > 32 - parsed.log2MaxPocLsb)
            return false;
    }
    const int extraPictureBytes = int(reader.bits(2));
    for (int i = 0; i < 8 * extraPictureBytes; ++i)
        parsed.extraPictureHeaderBits += int(reader.bits(1));   // sps_extra_ph_bit_present_flag
    reader.skip(8 * int(reader.bits(2)));           // sps_num_extra_sh_bytes and their flags
    if (reader.failed())
        return false;
    parsed.known = true;
    parsed.tailKnown = readTail(reader, profilePresent, subLayers, ctuLog2, format.chromaFormat, &parsed);
    *sequence = parsed;
    return true;
}

bool VvcParameterSets::readPicture(const char *nal, qsizetype size, Picture *picture)
{
    if (size < 4 || N::type(nal) != N::Pps)
        return false;
    BitReader reader(nal + 2, size - 2);
    Picture parsed;
    parsed.id = int(reader.bits(6));
    parsed.sequence = int(reader.bits(4));
    reader.skip(1);                                 // pps_mixed_nalu_types_in_pic_flag
    const quint32 width = reader.ue(), height = reader.ue();
    if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide)
        return false;
    parsed.width = int(width);
    parsed.height = int(height);
    parsed.window = reader.bits(1);
    if (parsed.window) {
        for (int &offset : parsed.offsets) {
            const quint32 value = reader.ue();
            if (value > kMaxPictureSide)
                return false;
            offset = int(value);
        }
    }
    if (reader.failed())
        return false;
    parsed.known = true;
    *picture = parsed;
    return true;
}

bool VvcParameterSets::readAdaptation(const char *nal, qsizetype size, int *type, int *id)
{
    if (size < 3 || (N::type(nal) != N::PrefixAps && N::type(nal) != N::SuffixAps))
        return false;
    *type = uchar(nal[2]) >> 5;                     // aps_params_type
    *id = uchar(nal[2]) & 0x1f;                     // aps_adaptation_parameter_set_id
    return *type <= ScalingList;
}

int VvcParameterSets::keyOf(const char *nal, qsizetype size)
{
    if (size < 3)
        return -1;
    const int type = N::type(nal);
    if (type == N::Opi || type == N::Dci)
        return type << 8;
    if (type == N::Vps || type == N::Sps)
        return type << 8 | (uchar(nal[2]) >> 4);    // the first four bits are the set's id
    if (type == N::Pps)
        return type << 8 | (uchar(nal[2]) >> 2);
    int kind = 0, id = 0;
    if (readAdaptation(nal, size, &kind, &id))
        return N::PrefixAps << 8 | kind << 5 | id;
    return -1;
}

bool VvcParameterSets::isAdaptationKey(int key)
{
    return key >> 8 == N::PrefixAps;
}

bool VvcParameterSets::take(const char *nal, qsizetype size)
{
    if (size < 3)
        return true;
    const int type = N::type(nal);
    if (type == N::Sps) {
        Sequence sequence;
        if (!readSequence(nal, size, &sequence)) {
            problem = QStringLiteral("a sequence parameter set is unreadable");
            return false;
        }
        sequences[sequence.id] = sequence;
    } else if (type == N::Pps) {
        Picture set;
        if (!readPicture(nal, size, &set)) {
            problem = QStringLiteral("a picture parameter set is unreadable");
            return false;
        }
        pictures[set.id] = set;
    }
    return true;
}

const VvcParameterSets::Picture *VvcParameterSets::picture(quint32 id) const
{
    if (id > 63 || !pictures[id].known || !sequences[pictures[id].sequence].known)
        return nullptr;
    return &pictures[id];
}

VvcPictureFormat VvcParameterSets::formatOf(const Picture &picture) const
{
    const VvcPictureFormat &sequence = sequenceOf(picture)->format;
    VvcPictureFormat format = sequence;
    format.codedWidth = picture.width;
    format.codedHeight = picture.height;
    if (picture.window) {
        format.cropLeft = picture.offsets[0] * format.cropUnitX();
        format.cropRight = picture.offsets[1] * format.cropUnitX();
        format.cropTop = picture.offsets[2] * format.cropUnitY();
        format.cropBottom = picture.offsets[3] * format.cropUnitY();
    } else if (picture.width != sequence.codedWidth || picture.height != sequence.codedHeight) {
        format.cropLeft = format.cropRight = format.cropTop = format.cropBottom = 0;
    }
    if (format.width() <= 0 || format.height() <= 0)
        format.cropLeft = format.cropRight = format.cropTop = format.cropBottom = 0;
    return format;
}
