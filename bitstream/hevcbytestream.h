#ifndef HEVCBYTESTREAM_H
#define HEVCBYTESTREAM_H

// Small helpers for HEVC elementary streams in the byte-stream format (NAL units after start
// codes), shared by the rewrite, the join and the checks of finished segments.

#include <QString>
#include <QtGlobal>

class BitReader;

// The picture format a sequence parameter set declares. Sizes are in luma samples.
struct SequenceFormat
{
    int codedWidth = 0, codedHeight = 0;
    int chromaFormat = 1;                 // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    bool separateColourPlanes = false;
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;   // conformance window
    int id = 0;                           // sps_seq_parameter_set_id
    int log2MaxPocLsb = 4;                // bits of the picture order count in slice headers

    // The steps in which the conformance window can crop, in luma samples.
    int cropUnitX() const;
    int cropUnitY() const;
    bool sameCoding(const SequenceFormat &other) const;
    QString chromaName() const;           // e.g. "4:2:0"
    QString describe() const;             // e.g. "1920x1088 4:2:0 8-bit"
};

class HevcByteStream
{
public:
    enum NalType {
        BlaWithLeading = 16,
        FirstIrap = 16,
        IdrWithLeading = 19,
        IdrNoLeading = 20,
        Cra = 21,
        LastIrap = 23,
        Vps = 32,
        Sps = 33,
        Pps = 34,
        Aud = 35,
        EndOfSequence = 36,
        EndOfBitstream = 37,
        PrefixSei = 39,
        SuffixSei = 40,
    };

    // The offset of the first NAL unit header byte that follows a start code (00 00 01)
    // beginning at or after `from`, or -1 when there is none.
    static qsizetype findNalUnit(const char *data, qsizetype size, qsizetype from);
    // The fields of a two-byte NAL unit header.
    static int nalType(const char *header) { return (uchar(header[0]) >> 1) & 0x3f; }
    static int nalLayer(const char *header)
    {
        return ((uchar(header[0]) & 1) << 5) | (uchar(header[1]) >> 3);
    }
    static int nalTemporalIdPlus1(const char *header) { return uchar(header[1]) & 7; }
    static bool isIrap(int type) { return type >= FirstIrap && type <= LastIrap; }
    // Whether a NAL unit of this type opens a new access unit when it follows a picture.
    static bool startsAccessUnit(int type);
    // Reads a sequence parameter set NAL unit (two-byte header first, emulation prevention
    // bytes still in place). False when it is cut short or out of range. With rest given, it
    // is left where the reading stopped: after log2_max_pic_order_cnt_lsb_minus4.
    static bool readSequenceFormat(const char *nal, qsizetype size, SequenceFormat *format,
                                   BitReader *rest = nullptr);
};

#endif // HEVCBYTESTREAM_H
