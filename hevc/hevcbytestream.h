#ifndef HEVCBYTESTREAM_H
#define HEVCBYTESTREAM_H

// HEVC's NAL units: their types, the two-byte header, the first fields of a slice segment and
// of a sequence parameter set, as the rest of HEVC's room reads and writes them.

#include "bitstream/seiwriter.h"
#include "bitstream/sequenceformat.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

class BitReader;

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

    // The fields of a two-byte NAL unit header.
    static int nalType(const char *header) { return (uchar(header[0]) >> 1) & 0x3f; }
    static int nalLayer(const char *header)
    {
        return ((uchar(header[0]) & 1) << 5) | (uchar(header[1]) >> 3);
    }
    static int nalTemporalIdPlus1(const char *header) { return uchar(header[1]) & 7; }
    static bool isIrap(int type) { return type >= FirstIrap && type <= LastIrap; }
    static bool isIdr(int type) { return type == IdrWithLeading || type == IdrNoLeading; }
    // first_slice_segment_in_pic_flag of a slice segment NAL unit (header first); empty when
    // the bytes end before it.
    static std::optional<bool> firstSliceInPicture(const char *nal, qsizetype size)
    {
        if (size < 3)
            return std::nullopt;
        return (uchar(nal[2]) & 0x80) != 0;
    }
    // The first header byte of a NAL unit given another type: the forbidden bit and the
    // layer's highest bit kept.
    static char firstByteWithType(char first, int type) { return char((uchar(first) & 0x81) | (type << 1)); }
    // Whether a NAL unit of this type opens a new access unit when it follows a picture.
    static bool startsAccessUnit(int type);
    // Reads a sequence parameter set NAL unit (two-byte header first, emulation prevention
    // bytes still in place). False when it is cut short or out of range. With rest given, it
    // is left where the reading stopped: after log2_max_pic_order_cnt_lsb_minus4.
    static bool readSequenceFormat(const char *nal, qsizetype size, SequenceFormat *format,
                                   BitReader *rest = nullptr);
    // A prefix SEI NAL unit of layer 0 holding the messages in order: its two-byte header and
    // the escaped RBSP, without a start code.
    static QByteArray prefixSeiUnit(const QList<SeiWriter::Message> &messages, int temporalIdPlus1 = 1);
};

#endif // HEVCBYTESTREAM_H
