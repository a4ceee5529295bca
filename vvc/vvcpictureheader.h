#ifndef VVCPICTUREHEADER_H
#define VVCPICTUREHEADER_H

// The first fields of a VVC picture header, read as a decoder reads them (with the parameter
// sets in force), and where its picture order count lies, so that the count can be read and
// written in place. A picture header is a NAL unit of its own or the start of the picture's
// one slice (sh_picture_header_in_slice_header_flag).

#include <QString>

class VvcParameterSets;

struct VvcPictureHeader
{
    bool gdrOrIrap = false;        // ph_gdr_or_irap_pic_flag
    bool nonReference = false;     // ph_non_ref_pic_flag
    bool gdr = false;              // ph_gdr_pic_flag
    int pictureSet = 0;            // ph_pic_parameter_set_id
    quint32 pocLsb = 0;            // ph_pic_order_cnt_lsb
    int pocLsbBits = 0;
    qint64 pocLsbAt = 0;           // bit offset in the RBSP that follows the two-byte NAL unit header
    bool pocMsbPresent = false;    // ph_poc_msb_cycle_present_flag
    quint32 pocMsbCycle = 0;       // ph_poc_msb_cycle_val

    // Whether a slice NAL unit (two-byte header first) carries its picture's header.
    static bool inSlice(const char *nal, qsizetype size) { return size > 2 && (uchar(nal[2]) & 0x80); }

    // Reads the picture header of a PH NAL unit, or of a slice that carries it (two-byte
    // header first, escaped). False, with problem set to what follows "the picture header
    // ...", when it names a parameter set not read before, is cut short, or is no header.
    static bool read(const VvcParameterSets &sets, const char *nal, qsizetype size, VvcPictureHeader *header,
                     QString *problem);
};

#endif // VVCPICTUREHEADER_H
