#ifndef VVCNALUNIT_H
#define VVCNALUNIT_H

// The two-byte NAL unit header of a VVC stream (forbidden_zero_bit, nuh_reserved_zero_bit,
// nuh_layer_id in six bits, nal_unit_type in five, nuh_temporal_id_plus1 in three), the unit
// types and what each kind of unit means to a reader that splits a stream into pictures.

#include <QString>

class VvcNalUnit
{
public:
    enum Type {
        Trail = 0,
        Stsa = 1,
        Radl = 2,
        Rasl = 3,
        IdrWithRadl = 7,
        IdrNoLeading = 8,
        Cra = 9,
        Gdr = 10,
        LastVcl = 11,          // types 0 to 11 are coded slices (4 to 6 and 11 reserved)
        Opi = 12,
        Dci = 13,
        Vps = 14,
        Sps = 15,
        Pps = 16,
        PrefixAps = 17,
        SuffixAps = 18,
        PictureHeader = 19,
        Aud = 20,
        EndOfSequence = 21,
        EndOfBitstream = 22,
        PrefixSei = 23,
        SuffixSei = 24,
        FillerData = 25,
    };

    // The fields of a header; header must point at two bytes.
    static int type(const char *header) { return uchar(header[1]) >> 3; }
    static int layer(const char *header) { return uchar(header[0]) & 0x3f; }
    static int temporalId(const char *header) { return (uchar(header[1]) & 7) - 1; }
    // Whether the header breaks its rules: a forbidden or reserved bit set, or a temporal id
    // plus one of zero.
    static bool damaged(const char *header) { return (uchar(header[0]) & 0xc0) || (uchar(header[1]) & 7) == 0; }

    static bool isSlice(int type) { return type >= Trail && type <= LastVcl; }
    static bool isIrap(int type) { return type >= IdrWithRadl && type <= Cra; }
    static bool isIdr(int type) { return type == IdrWithRadl || type == IdrNoLeading; }
    static bool isParameterSet(int type) { return type >= Opi && type <= PrefixAps; }
    // Whether a unit of this type, following the last slice of a picture, opens the next
    // access unit (the first slice of a picture that carries its own picture header does too).
    static bool startsAccessUnit(int type);
    // Whether a stream whose first NAL unit has this header can be VVC. Where it is HEVC the
    // answer is no: HEVC's parameter sets, delimiters and SEI units set the bit VVC reserves,
    // and an HEVC slice header reads as a VVC trailing slice, which no stream opens with.
    static bool opensStream(const char *header);
    // The type's name as the reference software prints it, e.g. "IDR_N_LP", or its number.
    static QString name(int type);
};

#endif // VVCNALUNIT_H
