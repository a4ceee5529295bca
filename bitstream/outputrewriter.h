#ifndef OUTPUTREWRITER_H
#define OUTPUTREWRITER_H

// Rewrites the parameter sets of a finished HEVC elementary stream (NAL units after start
// codes) so that peers show it as the input was: the padding the encoder needed is cropped
// away and the picture rate, sample aspect ratio, range and colour description are filled in,
// and the input's static HDR metadata is added as prefix SEI messages to every random-access
// picture. Only parameter sets change and SEI NAL units are added; the coded pictures pass
// through untouched.

#include "hevcbytestream.h"
#include "seiwriter.h"

#include <QString>
#include <QtGlobal>

#include <optional>

// What the output should say about its pictures.
struct OutputFacts
{
    int shownWidth = 0, shownHeight = 0;       // the size to show; 0: keep the stream's
    int frameRateNum = 0, frameRateDen = 0;    // pictures per second as a fraction; 0: keep
    int sarNum = 0, sarDen = 0;                // sample aspect ratio; 0 or 1:1: keep
    bool fullRange = false;                    // full-range (JPEG) samples
    int colourPrimaries = 2, transferCharacteristics = 2, matrixCoefficients = 2; // ITU-T H.273 codes, 2 = unspecified: keep
    std::optional<MasteringDisplay> masteringDisplay;   // none: nothing added
    std::optional<ContentLightLevel> contentLightLevel;
};

// rewritten is false with an empty error when there was nothing to change; the file is then
// left as it was and summary says why.
struct RewriteResult
{
    bool rewritten = false;
    QString summary;
    QString error;
};

class OutputRewriter
{
public:
    // Rewrites the file in place: the new stream goes to a temporary file beside it, which
    // replaces the file only once complete. On failure the file is left byte for byte as it
    // was and error names the file and the reason in one line.
    static RewriteResult rewrite(const QString &bitstreamPath, const OutputFacts &facts);
};

#endif // OUTPUTREWRITER_H
