#include "inputprobe.h"

#include "decode/picturecount.h"
#include "decode/videodecoder.h"
#include "feed/decodeworker.h"
#include "feed/rawfeed.h"
#include "jobtypes/encoderconfigfile.h"
#include "jobtypes/joboutput.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

#include <sys/stat.h>

extern "C" {
#include <libavutil/error.h>
}

InputProbe InputProbe::probe(const QString &path, const QString &config, std::atomic<int64_t> *counting,
                             const std::atomic_bool *stop)
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
    const int opened = decoderOpen(decoder, name.constData());
    if (opened < 0) {
        result.problem = DecodeWorker::openFailure(path, opened);
        result.unopened = true;
        decoderDestroy(&decoder);
        return result;
    }
    if (decoderStreamInfo(decoder, &stream) < 0 || decoderNextFrame(decoder, &frame) < 0) {
        result.problem = QStringLiteral("it could not be decoded");
        decoderDestroy(&decoder);
        return result;
    }
    result.pictures = stream.pictureCount;
    result.exact = stream.pictureCountDeclared;
    result.width = frame.width;
    result.height = frame.height;
    decoderPictureHdr(decoder, &stream.hdr);
    result.facts = JobOutput::factsFor(stream, frame.width, frame.height, decoderPictureIsFullRange(decoder), chroma);
    decoderDestroy(&decoder);
    if (!result.exact)
        result.count(name, counting, stop);
    return result;
}

// The stream states no count of its own: a count worked out from a duration may belong to the
// container or to a longer sound track, so the video stream's packets are counted instead.
void InputProbe::count(const QByteArray &name, std::atomic<int64_t> *counting, const std::atomic_bool *stop)
{
    const PictureCount found = countPictures(name.constData(), counting, stop);
    pictures = found.pictures;
    counted = true;
    times = QVector<qint64>(found.times.begin(), found.times.end());
    if (counting)
        *counting = found.pictures;
    if (found.error == AVERROR_EXIT)
        problem = QStringLiteral("stopped");
    else if (found.error < 0)
        problem = QStringLiteral("its pictures could not be counted");
    else if (pictures <= 0)
        problem = QStringLiteral("it holds no picture");
}

InputProbe InputProbe::probeRaw(const JobSettings &settings)
{
    InputProbe result;
    EncoderConfigFile config;
    config.read(settings.config);
    const QFileInfo file(settings.input);
    const RawFeed::Layout layout = RawFeed::layout(settings.rawWidth, settings.rawHeight, config, file.size());
    result.pictures = layout.pictures;
    result.exact = true;
    result.width = settings.rawWidth;
    result.height = settings.rawHeight;
    result.facts = JobOutput::rawFacts(settings);
    if (layout.leftover > 0)
        result.leftover = RawFeed::leftoverText(settings.input, layout, true);
    if (!file.isFile())
        result.problem = QStringLiteral("it is not a regular file");
    else if (result.pictures <= 0)
        result.problem = QStringLiteral("it holds no whole picture");
    return result;
}

