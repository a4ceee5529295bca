#include "inputprobe.h"

#include "encoderconfigfile.h"

#include "decode/videodecoder.h"

#include <QFile>

#include <algorithm>
#include <iterator>

#include <sys/stat.h>

InputProbe InputProbe::probe(const QString &path, const QString &config)
{
    InputProbe result;
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result.problem = QStringLiteral("it is not a regular file (a pipe, say), whose pictures cannot be counted beforehand");
        return result;
    }
    VideoDecoder *decoder = decoderCreate();
    if (!decoder) {
        result.problem = QStringLiteral("out of memory");
        return result;
    }
    EncoderConfigFile keys;
    keys.read(config);
    int chroma = keys.intValue(QStringLiteral("InputChromaFormat"), 420);
    if (decoderSetOutputFormat(decoder, keys.intValue(QStringLiteral("InputBitDepth"), 8), chroma) != 0) {
        decoderForce420(decoder, true);
        chroma = 420;
    }
    StreamInfo stream = {};
    FrameInfo frame = {};
    if (decoderOpen(decoder, name.constData()) < 0 || decoderStreamInfo(decoder, &stream) < 0
        || decoderNextFrame(decoder, &frame) < 0) {
        result.problem = QStringLiteral("it could not be decoded");
        decoderDestroy(&decoder);
        return result;
    }
    result.pictures = stream.pictureCount;
    result.exact = stream.pictureCountDeclared;
    result.width = frame.width;
    result.height = frame.height;
    decoderPictureHdr(decoder, &stream.hdr);
    result.facts = factsFor(stream, frame.width, frame.height, decoderPictureIsFullRange(decoder), chroma);
    decoderDestroy(&decoder);
    if (result.pictures <= 0)
        result.problem = QStringLiteral("its picture count is not known in advance (a stream without a duration)");
    return result;
}

OutputFacts InputProbe::factsFor(const StreamInfo &stream, int width, int height, bool fullRange,
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
