#ifndef VVCPARAMETERSETS_H
#define VVCPARAMETERSETS_H

// The sequence, picture and adaptation parameter sets of a VVC stream, read as far as a reader
// of picture headers needs them (sizes, cropping, the picture order count's width and what
// stands before and after it in a picture header), and kept by id as they come.

#include <QString>

// The picture format a stream declares. Sizes and the conformance window are in luma samples.
struct VvcPictureFormat
{
    int codedWidth = 0, codedHeight = 0;
    int chromaFormat = 1;                  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int bitDepth = 8;                      // luma and chroma alike
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;

    // The steps in which the conformance window crops, in luma samples.
    int cropUnitX() const { return chromaFormat == 1 || chromaFormat == 2 ? 2 : 1; }
    int cropUnitY() const { return chromaFormat == 1 ? 2 : 1; }
    // The size a decoder outputs: the coded size less the window's offsets.
    int width() const { return codedWidth - cropLeft - cropRight; }
    int height() const { return codedHeight - cropTop - cropBottom; }
    QString describe() const;              // e.g. "176x144 (coded 176x152) 4:2:0 10-bit"
};

class VvcParameterSets
{
public:
    enum AdaptationType { AdaptiveLoopFilter = 0, LumaMapping = 1, ScalingList = 2 };

    struct Sequence
    {
        bool known = false;
        int id = 0;
        int videoSet = 0;                  // sps_video_parameter_set_id
        VvcPictureFormat format;           // the largest picture size and the sequence's window
        int log2MaxPocLsb = 4;             // bits of ph_pic_order_cnt_lsb
        bool pocMsbCycle = false;          // picture headers may carry ph_poc_msb_cycle_val
        int pocMsbCycleBits = 0;
        int extraPictureHeaderBits = 0;    // how many ph_extra_bit a picture header carries
        // Read from further on in the set; false where that part could not be read.
        bool tailKnown = false;
        bool longTermPictures = false;     // pictures may name long-term references by order count
        bool interLayer = false;           // pictures may refer to other layers
    };
    struct Picture
    {
        bool known = false;
        int id = 0;
        int sequence = 0;
        int width = 0, height = 0;         // pps_pic_width/height_in_luma_samples
        bool window = false;               // pps_conformance_window_flag
        int offsets[4] = {};               // its window's left, right, top, bottom, in chroma steps
    };

    // Reads a set NAL unit (two-byte header first, escaped). False when it is cut short or out
    // of range; with tailKnown false when only the part before the sequence's tools was read.
    static bool readSequence(const char *nal, qsizetype size, Sequence *sequence);
    static bool readPicture(const char *nal, qsizetype size, Picture *picture);
    static bool readAdaptation(const char *nal, qsizetype size, int *type, int *id);
    // What names a parameter set among all others of a stream: its NAL unit type and id, with
    // prefix and suffix adaptation parameter sets in one space by their kind. -1 for a unit
    // that is no parameter set or cannot be read.
    static int keyOf(const char *nal, qsizetype size);
    static bool isAdaptationKey(int key);

    // Takes a sequence or picture parameter set; other units are passed over. False, with
    // problem set, when a set is unreadable.
    bool take(const char *nal, qsizetype size);

    // The picture parameter set of this id and the sequence parameter set it names, both read
    // before; nullptr otherwise.
    const Picture *picture(quint32 id) const;
    const Sequence *sequenceOf(const Picture &picture) const { return &sequences[picture.sequence]; }
    // The format of the pictures that use this picture parameter set: its size, with its own
    // window, or the sequence's where it has the sequence's largest size and no window.
    VvcPictureFormat formatOf(const Picture &picture) const;

    QString problem;

private:
    Sequence sequences[16];
    Picture pictures[64];
};

#endif // VVCPARAMETERSETS_H
