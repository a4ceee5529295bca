#ifndef OUTPUTFACTS_H
#define OUTPUTFACTS_H

#include "seiwriter.h"

#include <QString>

#include <optional>

// What the output should say about its pictures, which the rewrite of a finished stream writes
// into its parameter sets and SEI messages where its codec has such a rewrite.
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

#endif // OUTPUTFACTS_H
