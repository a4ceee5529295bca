#ifndef OUTPUTREWRITER_H
#define OUTPUTREWRITER_H

// Rewrites the parameter sets of a finished HEVC elementary stream (NAL units after start
// codes) so that peers show it as the input was: the padding the encoder needed is cropped
// away and the picture rate, sample aspect ratio, range and colour description are filled in,
// and the input's static HDR metadata is added as prefix SEI messages to every random-access
// picture. Only parameter sets change and SEI NAL units are added; the coded pictures pass
// through untouched.

#include "bitstream/outputfacts.h"

#include <QString>

class OutputRewriter
{
public:
    // Rewrites the file in place: the new stream goes to a temporary file beside it, which
    // replaces the file only once complete. On failure the file is left byte for byte as it
    // was and error names the file and the reason in one line.
    static RewriteResult rewrite(const QString &bitstreamPath, const OutputFacts &facts);
};

#endif // OUTPUTREWRITER_H
