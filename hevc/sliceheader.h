#ifndef SLICEHEADER_H
#define SLICEHEADER_H

// The first fields of a slice segment header, read as a decoder reads them (with the
// parameter sets in force) up to slice_pic_order_cnt_lsb, and where that field lies, so that
// the picture order count of a picture can be read and written in place.

#include <QString>
#include <QtGlobal>

class ParameterSets;

struct SliceHeader
{
    int nalType = 0;
    bool firstInPicture = false;
    bool dependent = false;        // a dependent slice segment: it carries none of the fields below
    int pictureSet = 0;            // slice_pic_parameter_set_id
    bool output = true;            // pic_output_flag, or true where the picture set has none
    // slice_pic_order_cnt_lsb: an IDR picture and a dependent slice segment have none.
    bool hasPocLsb = false;
    quint32 pocLsb = 0;
    int pocLsbBits = 0;
    qint64 pocLsbAt = 0;           // bit offset in the RBSP that follows the two-byte NAL unit header
    bool longTermPictures = false; // its sequence allows long-term reference pictures

    // Reads the header of a slice segment NAL unit (two-byte header first, escaped). False,
    // with problem set to what follows "the slice header ...", when it names a parameter set
    // not read before or is cut short.
    static bool read(const ParameterSets &sets, const char *nal, qsizetype size, SliceHeader *header,
                     QString *problem);
};

#endif // SLICEHEADER_H
