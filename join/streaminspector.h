#ifndef STREAMINSPECTOR_H
#define STREAMINSPECTOR_H

#include "bitstream/sequenceformat.h"

#include <QString>

class Codec;

// What a quick walk over the NAL unit headers of a byte stream file tells, through its codec
// and without decoding: whether it is one at all, how many pictures it holds and how it opens
// and ends. Used to tell whether an encoder really wrote something, and whether a segment is
// whole.
struct StreamSummary
{
    QString problem;                 // set when the file cannot be read or is no byte stream
    const Codec *codec = nullptr;    // recognised from its first parameter set; nullptr when none was
    qint64 bytes = 0;
    qint64 pictures = 0;             // base-layer pictures
    bool opensWithParameterSets = false;   // the parameter sets its codec needs, before the first picture
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
