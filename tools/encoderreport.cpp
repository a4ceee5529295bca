#include "encoderreport.h"

#include "encoderconfig.h"

#include <cmath>
#include <cstdio>

namespace {

// PSNR of the three planes together, from their mean squared errors weighted by sample count.
double combinedPsnr(const PictureStats &stats, double lumaSamples, double chromaSamples)
{
    const double peak = 255.0 * 255.0;
    const auto mse = [peak](double psnr) { return peak / std::pow(10.0, psnr / 10.0); };
    double total = lumaSamples * mse(stats.psnrY);
    if (chromaSamples > 0)
        total += chromaSamples * (mse(stats.psnrU) + mse(stats.psnrV));
    const double mean = total / (lumaSamples + 2 * chromaSamples);
    return mean > 0 ? 10.0 * std::log10(peak / mean) : 100.0;
}

} // namespace

EncoderReport::EncoderReport(const EncoderConfig &cfg)
    : config(cfg)
{
}

void EncoderReport::banner(const std::string &library) const
{
    std::printf("\nMorlunex stand-in HEVC encoder [%s]\n\n", library.c_str());
    for (const std::string &file : config.configFiles)
        std::printf("Configuration  File                    : %s\n", file.c_str());
    std::printf("Input          File                    : %s\n", config.inputFile.c_str());
    std::printf("Bitstream      File                    : %s\n", config.bitstreamFile.c_str());
    std::printf("Real     Format                        : %dx%d %gHz\n", config.width, config.height,
                config.frameRate);
    std::printf("Input    Chroma Format                 : %d\n", config.chromaFormat);
    std::printf("Input    Bit Depth                     : %d\n", config.inputBitDepth);
    std::printf("Internal Bit Depth                     : %d\n", config.codingBitDepth());
    std::printf("Output   Bit Depth                     : %d\n", config.outputDepth());
    if (config.framesToBeEncoded > 0)
        std::printf("Frame index                            : %lld - %lld (at most %lld frames)\n",
                    config.frameSkip, config.frameSkip + config.framesToBeEncoded - 1,
                    config.framesToBeEncoded);
    else
        std::printf("Frame index                            : %lld - (all frames of the input)\n",
                    config.frameSkip);
    std::printf("Intra period                           : %d\n", config.intraPeriod);
    std::printf("QP                                     : %d\n", config.qp);
    std::printf("Preset                                 : %s\n", config.preset.c_str());
    if (!config.x265Params.empty())
        std::printf("Library parameters                     : %s\n", config.x265Params.c_str());
    std::printf("Quiet period                           : %g s\n\n", config.quietPeriod);
}

void EncoderReport::Totals::add(const PictureStats &stats, double yuv)
{
    ++count;
    bits += stats.bits;
    psnrY += stats.psnrY;
    psnrU += stats.psnrU;
    psnrV += stats.psnrV;
    psnrYuv += yuv;
}

void EncoderReport::picture(const PictureStats &stats)
{
    const double lumaSamples = static_cast<double>(config.width) * config.height;
    const double chromaSamples = static_cast<double>(config.chromaWidth() * config.chromaHeight());
    const double yuv = combinedPsnr(stats, lumaSamples, chromaSamples);
    all.add(stats, yuv);
    switch (stats.sliceLetter) {
    case 'I': intra.add(stats, yuv); break;
    case 'P': predicted.add(stats, yuv); break;
    default: bidirectional.add(stats, yuv); break;
    }
    const int qp = static_cast<int>(std::lround(stats.qp));
    std::printf("POC %4d TId: %1d ( %c-SLICE, nQP %d QP %d ) %10d bits [Y %6.4lf dB    U %6.4lf dB    V %6.4lf dB]\n",
                stats.poc, stats.temporalId, stats.sliceLetter, qp, qp, static_cast<int>(stats.bits),
                stats.psnrY, stats.psnrU, stats.psnrV);
}

void EncoderReport::Totals::print(const char *title, char letter, double frameRate) const
{
    const double n = count ? count : 1;
    std::printf("\n%s--------------------------------------------------------\n", title);
    std::printf("\tTotal Frames |   Bitrate     Y-PSNR    U-PSNR    V-PSNR    YUV-PSNR \n");
    std::printf("\t%8d    %c %12.4lf  %8.4lf  %8.4lf  %8.4lf  %8.4lf\n", count, letter,
                bits * frameRate / n / 1000.0, psnrY / n, psnrU / n, psnrV / n, psnrYuv / n);
}

void EncoderReport::summary(uint64_t bytesWritten, double cpuSeconds, double wallSeconds) const
{
    all.print("SUMMARY ", 'a', config.frameRate);
    intra.print("I Slices", 'i', config.frameRate);
    predicted.print("P Slices", 'p', config.frameRate);
    bidirectional.print("B Slices", 'b', config.frameRate);
    const double kbps = all.count ? bytesWritten * 8.0 * config.frameRate / all.count / 1000.0 : 0.0;
    std::printf("\nBytes written to file: %u (%.3f kbps)\n", static_cast<unsigned>(bytesWritten), kbps);
    std::printf("\n Total Time: %12.3f sec. [user] %12.3f sec. [elapsed]\n", cpuSeconds, wallSeconds);
}
