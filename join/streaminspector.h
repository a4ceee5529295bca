#ifndef STREAMINSPECTOR_H
#define STREAMINSPECTOR_H

#include "bitstream/hevcbytestream.h"

#include <QString>

// What a quick walk over the NAL unit headers of an HEVC byte stream file tells, without
// decoding: whether it is one at all, how many pictures it holds and how it opens and ends.
// Used to tell whether an encoder really wrote something, and whether a segment is whole.
struct StreamSummary
{
    QString problem;                 // set when the file cannot be read or is no byte stream
    qint64 bytes = 0;
    qint64 pictures = 0;             // base-layer pictures (their first slice segments)
    bool opensWithParameterSets = false;   // VPS, SPS and PPS before the first picture
    bool opensWithRandomAccess = false;    // the first picture is an IRAP picture
    bool endsWithWholeUnit = false;  // the last NAL unit ends as a NAL unit does (not on zeros)
    bool pictureHashes = false;      // it carries decoded-picture hash SEI messages
    SequenceFormat format;           // of the first base-layer SPS, when there is one
};

class StreamInspector
{
public:
    // Walks the file; with enoughPictures > 0 it stops once that many pictures were seen.
    static StreamSummary inspect(const QString &path, qint64 enoughPictures = 0);
};

#endif // STREAMINSPECTOR_H
