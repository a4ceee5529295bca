#include "hevcencoder.h"

#include "encoderconfig.h"
#include "stderrcapture.h"

#include <x265.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace {

int colourSpace(int chromaFormat)
{
    switch (chromaFormat) {
    case 400: return X265_CSP_I400;
    case 422: return X265_CSP_I422;
    case 444: return X265_CSP_I444;
    default: return X265_CSP_I420;
    }
}

char sliceLetter(int sliceType)
{
    switch (sliceType) {
    case X265_TYPE_P: return 'P';
    case X265_TYPE_BREF: return 'B';
    case X265_TYPE_B: return 'b'; // no other picture refers to it
    default: return 'I';
    }
}

// The temporal id of an access unit, from the header of its first slice NAL unit.
int temporalId(const x265_nal *nals, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (nals[i].type >= 32) // parameter sets and SEI
            continue;
        const uint8_t *data = nals[i].payload;
        uint32_t at = 0;
        while (at < nals[i].sizeBytes && data[at] == 0)
            ++at;
        if (at + 2 < nals[i].sizeBytes && data[at] == 1)
            return (data[at + 2] & 7) - 1;
        return 0;
    }
    return 0;
}

// The reasons in what the library logged ("x265 [error]: text" lines), joined into one line;
// without such lines, whatever it logged other than information.
std::string libraryReason(const std::string &log)
{
    std::string errors, others;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.find("[info]") != std::string::npos)
            continue;
        const bool error = line.find("[error]") != std::string::npos;
        const size_t tag = line.find("]: ");
        if (tag != std::string::npos && line.compare(0, 5, "x265 ") == 0)
            line.erase(0, tag + 3);
        std::string &target = error ? errors : others;
        if (("; " + target + "; ").find("; " + line + "; ") == std::string::npos)
            target += (target.empty() ? "" : "; ") + line; // the library repeats some reasons
    }
    return errors.empty() ? others : errors;
}

} // namespace

HevcEncoder::HevcEncoder(PictureDone done)
    : pictureDone(std::move(done))
{
}

HevcEncoder::~HevcEncoder()
{
    if (output >= 0)
        ::close(output);
    if (!api)
        return;
    if (encoder)
        api->encoder_close(encoder);
    if (input)
        api->picture_free(input);
    if (param)
        api->param_free(param);
    api->cleanup();
}

bool HevcEncoder::fail(ExitCode code, const std::string &text)
{
    error = code;
    message = text;
    return false;
}

bool HevcEncoder::open(const EncoderConfig &config)
{
    const int depth = config.codingBitDepth();
    api = x265_api_get(depth);
    if (!api)
        return fail(ExitEncoder, "the encoding library has no " + std::to_string(depth) + "-bit build");
    param = api->param_alloc();
    input = api->picture_alloc();
    if (!param || !input)
        return fail(ExitEncoder, "out of memory");

    // The library tells why it refuses parameters only on standard error, which the transcoder
    // does not show: its words are caught and carried into the error text for standard output.
    StderrCapture capture;
    const bool opened = openLibrary(config);
    const std::string reason = libraryReason(capture.finish());
    if (!opened) {
        if (!reason.empty())
            message += ": " + reason;
        else if (error == ExitEncoder)
            message += " (the library gave no reason)";
        return false;
    }

    api->picture_init(param, input);
    sampleBytes = config.sampleBytes();
    input->bitDepth = config.inputBitDepth;   // the library scales to the coded depth
    input->colorSpace = param->internalCsp;
    input->stride[0] = width * sampleBytes;
    input->stride[1] = chromaWidth * sampleBytes;
    input->stride[2] = chromaWidth * sampleBytes;
    return true;
}

bool HevcEncoder::openLibrary(const EncoderConfig &config)
{
    if (api->param_default_preset(param, config.preset.c_str(), nullptr) < 0)
        return fail(ExitConfiguration, "unknown preset \"" + config.preset + "\"");

    width = config.width;
    height = config.height;
    chromaWidth = static_cast<int>(config.chromaWidth());
    chromaHeight = static_cast<int>(config.chromaHeight());
    param->sourceWidth = width;
    param->sourceHeight = height;
    param->internalCsp = colourSpace(config.chromaFormat);
    param->internalBitDepth = api->bit_depth;
    if (config.frameRate == static_cast<int>(config.frameRate)) {
        param->fpsNum = static_cast<uint32_t>(config.frameRate);
        param->fpsDenom = 1;
    } else {
        param->fpsNum = static_cast<uint32_t>(config.frameRate * 1000 + 0.5);
        param->fpsDenom = 1000;
    }
    param->rc.rateControlMode = X265_RC_CQP;
    param->rc.qp = config.qp;
    // A fixed intra period as the reference encoder has it; -1 makes the library place only
    // the first intra picture and turn scene-cut detection off by itself.
    param->keyframeMax = config.intraPeriod;
    if (config.intraPeriod > 0) {
        param->keyframeMin = config.intraPeriod;
        param->scenecutThreshold = 0;
    }
    param->bEnablePsnr = 1;
    param->bRepeatHeaders = 1; // parameter sets with every intra picture, as ReWriteParamSetsFlag
    param->bAnnexB = 1;
    // Below the info level the library silently stops measuring PSNR; its log goes to
    // standard error, which the transcoder does not show.
    param->logLevel = X265_LOG_INFO;

    // Most presets take 64x64 CTUs, and the library refuses a picture that does not hold one.
    // A smaller picture gets the largest CTU that fits (16 at least), with the minimum CU, the
    // largest transform, the QP group and the transform tree depths (at most down to 4x4
    // transforms) kept within it; MlxX265Params, applied below, still has the last word.
    const uint32_t shorterSide = static_cast<uint32_t>(std::min(width, height));
    if (param->maxCUSize > shorterSide) {
        while (param->maxCUSize > 16 && param->maxCUSize > shorterSide)
            param->maxCUSize /= 2;
        param->minCUSize = std::min(param->minCUSize, param->maxCUSize);
        param->maxTUSize = std::min(param->maxTUSize, param->maxCUSize);
        param->rc.qgSize = std::min(param->rc.qgSize, param->maxCUSize);
        uint32_t depthTo4x4 = 1; // log2(CTU) - log2(4) + 1
        for (uint32_t size = param->maxCUSize; size > 4; size /= 2)
            ++depthTo4x4;
        param->tuQTMaxInterDepth = std::min(param->tuQTMaxInterDepth, depthTo4x4);
        param->tuQTMaxIntraDepth = std::min(param->tuQTMaxIntraDepth, depthTo4x4);
    }

    std::istringstream extra(config.x265Params);
    std::string item;
    while (std::getline(extra, item, ':')) {
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        const std::string name = item.substr(0, equals);
        const bool flag = equals == std::string::npos;
        const std::string value = flag ? std::string() : item.substr(equals + 1);
        const int result = api->param_parse(param, name.c_str(), flag ? nullptr : value.c_str());
        if (result == X265_PARAM_BAD_NAME)
            return fail(ExitConfiguration, "MlxX265Params: unknown library parameter \"" + name + "\"");
        if (result != 0)
            return fail(ExitConfiguration, "MlxX265Params: bad value for \"" + name + "\"");
    }

    encoder = api->encoder_open(param);
    if (!encoder)
        return fail(ExitEncoder, "the encoding library refused the parameters");
    api->encoder_parameters(encoder, param);
    return true;
}

bool HevcEncoder::openOutput(const std::string &path)
{
    do {
        output = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (output < 0 && errno == EINTR);
    if (output < 0)
        return fail(ExitBitstream, "cannot create bitstream file \"" + path + "\": " + std::strerror(errno));
    outputPath = path;
    return true;
}

bool HevcEncoder::encode(const unsigned char *picture)
{
    const size_t lumaBytes = static_cast<size_t>(width) * height * sampleBytes;
    const size_t chromaBytes = static_cast<size_t>(chromaWidth) * chromaHeight * sampleBytes;
    unsigned char *data = const_cast<unsigned char *>(picture); // the library only reads it
    input->planes[0] = data;
    input->planes[1] = chromaBytes ? data + lumaBytes : nullptr;
    input->planes[2] = chromaBytes ? data + lumaBytes + chromaBytes : nullptr;
    input->pts = nextPts++;
    return encodeOne(input) >= 0;
}

bool HevcEncoder::finish()
{
    int result;
    while ((result = encodeOne(nullptr)) > 0) {
    }
    if (result < 0)
        return false;
    const int file = output;
    output = -1;
    if (file >= 0 && ::close(file) != 0)
        return fail(ExitBitstream, "cannot write bitstream file \"" + outputPath + "\": " + std::strerror(errno));
    return true;
}

int HevcEncoder::encodeOne(x265_picture *picture)
{
    x265_nal *nals = nullptr;
    uint32_t count = 0;
#if X265_BUILD >= 210 && X265_BUILD < 213
    // These builds hand back one picture per layer of a multi-layer stream.
    x265_picture layers[MAX_SCALABLE_LAYERS];
    x265_picture *layerPointers[MAX_SCALABLE_LAYERS];
    for (int i = 0; i < MAX_SCALABLE_LAYERS; ++i)
        layerPointers[i] = &layers[i];
    const int result = api->encoder_encode(encoder, &nals, &count, picture, layerPointers);
    const x265_picture &done = layers[0];
#else
    x265_picture done;
    const int result = api->encoder_encode(encoder, &nals, &count, picture, &done);
#endif
    if (result < 0) {
        fail(ExitEncoder, "the encoding library failed on a picture");
        return -1;
    }
    // The whole access unit in one write, straight to the file: nothing waits in a buffer of
    // ours when a signal ends the process.
    accessUnit.clear();
    for (uint32_t i = 0; i < count; ++i)
        accessUnit.insert(accessUnit.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    if (!writeAll(accessUnit.data(), accessUnit.size())) {
        fail(ExitBitstream, "cannot write bitstream file \"" + outputPath + "\": " + std::strerror(errno));
        return -1;
    }
    const uint64_t bytes = accessUnit.size();
    written += bytes;
    if (result > 0 && pictureDone) {
        PictureStats stats;
        stats.poc = done.poc;
        stats.temporalId = temporalId(nals, count);
        stats.sliceLetter = sliceLetter(done.sliceType);
        stats.qp = done.frameData.qp;
        stats.bits = bytes * 8;
        stats.psnrY = done.frameData.psnrY;
        stats.psnrU = chromaPsnr(done.frameData.psnrU);
        stats.psnrV = chromaPsnr(done.frameData.psnrV);
        pictureDone(stats);
    }
    return result;
}

bool HevcEncoder::writeAll(const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(output, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = EIO;
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

double HevcEncoder::chromaPsnr(double libraryValue) const
{
    if (chromaWidth == 0)
        return 0.0; // 4:0:0 has no chroma planes
    if (libraryValue >= 99.99)
        return libraryValue; // the library's mark for a plane without any error
    // The library divides each chroma plane's squared error by a quarter of the luma sample
    // count whatever the chroma format, which is right for 4:2:0 only (3.01 dB low for 4:2:2,
    // 6.02 dB for 4:4:4); rescale to the plane's true sample count.
    const double quarterLuma = static_cast<double>(width) * height / 4.0;
    return libraryValue + 10.0 * std::log10(static_cast<double>(chromaWidth) * chromaHeight / quarterLuma);
}

std::string HevcEncoder::description() const
{
    std::ostringstream text;
    text << "x265 " << api->version_str << ", " << api->bit_depth << "-bit, CTU " << param->maxCUSize
         << ", frame threads "
         << param->frameNumThreads
         << ", thread pools " << (param->numaPools && *param->numaPools ? param->numaPools : "auto");
    return text.str();
}
