#ifndef ENCODERREPORT_H
#define ENCODERREPORT_H

#include "hevcencoder.h"

#include <cstdint>
#include <string>

class EncoderConfig;

// Standard output in the reference encoder's shapes: a banner with the parameters, one line
// per picture in coding order and a summary. stdout is line-buffered, so each line reaches a
// reader as soon as it is written.
class EncoderReport
{
public:
    explicit EncoderReport(const EncoderConfig &config);

    void banner(const std::string &library) const;
    void picture(const PictureStats &stats);
    void summary(uint64_t bytesWritten, double cpuSeconds, double wallSeconds) const;

    int pictureCount() const { return all.count; }

private:
    // Running sums for one class of pictures (all, I, P, B).
    struct Totals
    {
        int count = 0;
        uint64_t bits = 0;
        double psnrY = 0, psnrU = 0, psnrV = 0, psnrYuv = 0;
        void add(const PictureStats &stats, double yuv);
        void print(const char *title, char letter, double frameRate) const;
    };

    const EncoderConfig &config;
    Totals all, intra, predicted, bidirectional;
};

#endif // ENCODERREPORT_H
