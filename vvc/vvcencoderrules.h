#ifndef VVCENCODERRULES_H
#define VVCENCODERRULES_H

// How the VVC reference encoder reads the keys that decide where its intra pictures fall and
// how many pictures it codes, as measured with the encoder itself: what a job must work out
// before it cuts an input into segments that start at intra pictures.

#include <QtGlobal>

class VvcEncoderRules
{
public:
    // The intra period the encoder uses for IntraPeriod `configured` at `frameRate` pictures a
    // second: below -1, -N means the multiple of N nearest to one second, at least N (-32 gives
    // 32 at 30 pictures a second, 64 at 50; -16 gives 48 at 50). Other values are kept.
    static int intraPeriod(int configured, double frameRate);
    // The pictures it codes of `input` pictures handed to it with TemporalSubsampleRatio
    // `ratio`: the first of every `ratio`, so 17 give 3 (pictures 0, 8 and 16) at 8. Its
    // picture order counts number these coded pictures, not the input's.
    static qint64 codedPictures(qint64 input, int ratio);
};

#endif // VVCENCODERRULES_H
