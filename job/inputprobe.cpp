#include "inputprobe.h"

#include "decode/videodecoder.h"

#include <QFile>

#include <sys/stat.h>

InputProbe InputProbe::probe(const QString &path)
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
    decoderForce420(decoder, true);
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
    result.facts = factsFor(stream, frame.width, frame.height, decoderPictureIsFullRange(decoder));
    decoderDestroy(&decoder);
    if (result.pictures <= 0)
        result.problem = QStringLiteral("its picture count is not known in advance (a stream without a duration)");
    return result;
}

OutputFacts InputProbe::factsFor(const StreamInfo &stream, int width, int height, bool fullRange)
{
    OutputFacts facts;
    facts.shownWidth = (width + 1) & ~1;
    facts.shownHeight = (height + 1) & ~1;
    facts.frameRateNum = stream.frameRateNum;
    facts.frameRateDen = stream.frameRateDen;
    facts.sarNum = stream.sarNum;
    facts.sarDen = stream.sarDen;
    facts.fullRange = fullRange;
    facts.colourPrimaries = stream.colourPrimaries;
    facts.transferCharacteristics = stream.transferCharacteristics;
    facts.matrixCoefficients = stream.matrixCoefficients;
    return facts;
}
