#include "vvcencoderrules.h"

#include <cmath>

int VvcEncoderRules::intraPeriod(int configured, double frameRate)
{
    if (configured >= -1)
        return configured;
    const int step = -configured;
    const int rate = int(std::lround(frameRate));
    return qMax((rate + step / 2) / step, 1) * step;
}

qint64 VvcEncoderRules::codedPictures(qint64 input, int ratio)
{
    if (ratio <= 1 || input <= 0)
        return qMax<qint64>(input, 0);
    return (input + ratio - 1) / ratio;
}
