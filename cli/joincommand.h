#ifndef JOINCOMMAND_H
#define JOINCOMMAND_H

#include <QString>
#include <QStringList>

// morlunex-cli --join OUTPUT SEGMENT...: joins separately encoded segments into one bitstream
// and returns the exit status (0, 65 a segment that cannot be joined, does not end with a whole
// access unit or holds a picture that fails its decoded picture hash or its decode, 66 a
// segment that cannot be read or is no regular file, 73 an output that cannot be written,
// exists without overwrite, or is one of the segments, 74 the output could not be written
// whole, 128 + N after signal N). An incomplete set (a gap, an overlap,
// not the pictures expected) is 65, and so is a segment that holds the next one's first
// picture too when the two copies are not proven to be the same picture.
class JoinCommand
{
public:
    // With expected >= 0 the joined stream must hold that many pictures. Segments that name
    // their first picture (part_<first>.265, as a job's parts folder and the segment recipes
    // make them) must follow one another without a gap, or overlap by the one picture that
    // makes the seam exact (see SegmentJoiner); other segments are looked at for it. Segments
    // that FFmpeg cannot decode are decoded with the decoder beside the encoder program.
    static int run(const QString &output, const QStringList &segments, const QString &encoder, bool quiet,
                   bool overwrite, qint64 expected = -1);
};

#endif // JOINCOMMAND_H
