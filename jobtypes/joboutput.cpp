#include "joboutput.h"

#include "encoderconfigfile.h"
#include "codecs/codecs.h"
#include "decode/videodecoder.h"
#include "files/pathtext.h"
#include "mux/containerformat.h"

#include <algorithm>
#include <iterator>

namespace JobOutput {

bool isContainer(const JobSettings &settings)
{
    return ContainerFormat::forPath(settings.output).isContainer();
}

const Codec &codecOf(const JobSettings &settings)
{
    EncoderConfigFile config;
    config.read(settings.config);
    return Codecs::ofEncoder(settings.encoder, config.keys());
}

Codec::Tools toolsOf(const JobSettings &settings)
{
    return Codecs::toolsFor(codecOf(settings), settings.encoder);
}

QString containerProblem(const JobSettings &settings)
{
    const ContainerFormat format = ContainerFormat::forPath(settings.output);
    const Codec &codec = codecOf(settings);
    if (!format.isContainer() || !codec.libavName().isEmpty())
        return QString();
    return QStringLiteral("The output file %1 is a %2 container, but the encoder %3 writes %4, which this program's "
                          "FFmpeg cannot put into a container.\nChoose a raw %4 stream (.266 or .vvc) as the "
                          "output; nothing was encoded.")
        .arg(PathText::native(PathText::absolute(settings.output)), format.name(),
             PathText::native(PathText::absolute(settings.encoder)), codec.name());
}

MuxRequest container(const JobSettings &settings, const PictureTimes &times, bool reachedEnd)
{
    MuxRequest request;
    request.output = PathText::absolute(settings.output);
    if (settings.rawWidth != 0 && settings.rawHeight != 0) {
        EncoderConfigFile config;
        config.read(settings.config);
        request.pictures.timeBaseNum = 1;
        request.pictures.timeBaseDen =
            settings.rawFps > 0 ? settings.rawFps : qMax(1, config.intValue(QStringLiteral("FrameRate"), 25));
        return request;
    }
    request.input = PathText::absolute(settings.input);
    request.pictures = times;
    if (!times.isEmpty()) {
        request.spanStart = times.times.first();
        request.spanEnd = times.end();
    }
    request.cutStart = settings.startPicture > 0;
    request.cutEnd = !reachedEnd;
    return request;
}

double frameRate(const JobSettings &settings, const OutputFacts &shown)
{
    if (shown.frameRateNum > 0 && shown.frameRateDen > 0)
        return double(shown.frameRateNum) / shown.frameRateDen;
    if (settings.rawFps > 0)
        return settings.rawFps;
    EncoderConfigFile config;
    return config.read(settings.config) ? config.value(QStringLiteral("FrameRate")).toDouble() : 0;
}

OutputFacts rawFacts(const JobSettings &settings)
{
    OutputFacts facts;
    if (settings.rawFps > 0) {
        facts.frameRateNum = settings.rawFps;
        facts.frameRateDen = 1;
    }
    return facts;
}

OutputFacts factsFor(const StreamInfo &stream, int width, int height, bool fullRange,
                                 int chromaFormat)
{
    OutputFacts facts;
    facts.shownWidth = chromaFormat == 420 || chromaFormat == 422 ? (width + 1) & ~1 : width;
    facts.shownHeight = chromaFormat == 420 ? (height + 1) & ~1 : height;
    facts.frameRateNum = stream.frameRateNum;
    facts.frameRateDen = stream.frameRateDen;
    facts.sarNum = stream.sarNum;
    facts.sarDen = stream.sarDen;
    facts.fullRange = fullRange;
    facts.colourPrimaries = stream.colourPrimaries;
    facts.transferCharacteristics = stream.transferCharacteristics;
    facts.matrixCoefficients = stream.matrixCoefficients;
    // The input's static HDR metadata, for SEI messages in the output.
    const HdrMetadata &hdr = stream.hdr;
    if (hdr.hasMasteringDisplay) {
        MasteringDisplay display;
        std::copy(std::begin(hdr.primariesX), std::end(hdr.primariesX), display.primariesX);
        std::copy(std::begin(hdr.primariesY), std::end(hdr.primariesY), display.primariesY);
        display.whitePointX = hdr.whitePointX;
        display.whitePointY = hdr.whitePointY;
        display.maxLuminance = hdr.maxLuminance;
        display.minLuminance = hdr.minLuminance;
        facts.masteringDisplay = display;
    }
    if (hdr.hasLightLevel)
        facts.contentLightLevel = ContentLightLevel{hdr.maxContentLight, hdr.maxFrameAverageLight};
    return facts;
}

} // namespace JobOutput
