#include "videodecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

struct InOutDeleter
{
    void operator()(AVFilterInOut *inOut) const { avfilter_inout_free(&inOut); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

// Prints "Error occurred: <text>" for a failed step of the decode loop.
void reportError(int code)
{
    char text[1024];
    if (av_strerror(code, text, sizeof text) < 0)
        snprintf(text, sizeof text, "Error number %d occurred", code);
    fprintf(stderr, "Error occurred: %s\n", text);
}

int failDecoding(int code)
{
    av_log(nullptr, AV_LOG_ERROR, "Error decoding video\n");
    reportError(code);
    return code;
}

int roundUp16(int value)
{
    return (value + 15) & ~15;
}

// A planar format as it is written, with its chroma divisors (0 for a format without chroma).
// The full-range formats have the same memory layout as their limited-range twins and are
// written the same way.
struct PlanarLayout
{
    AVPixelFormat format;   // the code reported in FrameInfo
    int horizontal;
    int vertical;
};

// The 8-bit formats kept as they are when no output format is set.
bool keptLayout(int format, PlanarLayout *layout)
{
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        *layout = {AV_PIX_FMT_YUV420P, 2, 2};
        return true;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        *layout = {AV_PIX_FMT_YUV422P, 2, 1};
        return true;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        *layout = {AV_PIX_FMT_YUV444P, 1, 1};
        return true;
    default:
        return false;
    }
}

int chromaIndex(int chromaFormat)
{
    switch (chromaFormat) {
    case 400: return 0;
    case 420: return 1;
    case 422: return 2;
    case 444: return 3;
    default: return -1;
    }
}

// The planar little-endian format of this depth and chroma format that libswscale writes, and
// how many bits its samples must then be shifted down: depths without a format of their own
// (11, 13, 15) are made at 16 bits first. 4:0:0 is the luma of 4:2:0: libswscale takes gray
// formats for full range, while 4:0:0 luma keeps the range it has.
PlanarLayout outputLayout(int depth, int chromaFormat, int *shift)
{
    static const AVPixelFormat formats[][3] = {
        {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P},
        {AV_PIX_FMT_YUV420P9LE, AV_PIX_FMT_YUV422P9LE, AV_PIX_FMT_YUV444P9LE},
        {AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV444P10LE},
        {AV_PIX_FMT_NONE, AV_PIX_FMT_NONE, AV_PIX_FMT_NONE},
        {AV_PIX_FMT_YUV420P12LE, AV_PIX_FMT_YUV422P12LE, AV_PIX_FMT_YUV444P12LE},
        {AV_PIX_FMT_NONE, AV_PIX_FMT_NONE, AV_PIX_FMT_NONE},
        {AV_PIX_FMT_YUV420P14LE, AV_PIX_FMT_YUV422P14LE, AV_PIX_FMT_YUV444P14LE},
        {AV_PIX_FMT_NONE, AV_PIX_FMT_NONE, AV_PIX_FMT_NONE},
        {AV_PIX_FMT_YUV420P16LE, AV_PIX_FMT_YUV422P16LE, AV_PIX_FMT_YUV444P16LE},
    };
    static const int divisors[][2] = {{0, 0}, {2, 2}, {2, 1}, {1, 1}};
    const int index = chromaIndex(chromaFormat);
    const int column = std::max(index, 1) - 1;
    AVPixelFormat format = formats[depth - 8][column];
    *shift = 0;
    if (format == AV_PIX_FMT_NONE || !sws_isSupportedOutput(format)) {
        format = formats[16 - 8][column];
        *shift = 16 - depth;
    }
    return {format, divisors[index][0], divisors[index][1]};
}

// The format of the source as it is laid out, full-range twins taken for their limited ones.
int limitedTwin(int format)
{
    PlanarLayout layout;
    return keptLayout(format, &layout) ? layout.format : format;
}

int bytesPerSample(int pixelFormat)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixelFormat));
    return descriptor && descriptor->comp[0].depth > 8 ? 2 : 1;
}

void fillFrameInfo(const AVFrame *frame, const PlanarLayout &layout, FrameInfo *info)
{
    for (int plane = 0; plane < 4; ++plane) {
        info->planes[plane] = frame->data[plane];
        info->strides[plane] = frame->linesize[plane];
    }
    info->width = frame->width;
    info->height = frame->height;
    info->pixelFormat = layout.format;

    const int paddedWidth = roundUp16(frame->width);
    const int paddedHeight = roundUp16(frame->height);
    info->lumaPadWidth = paddedWidth - frame->width;
    info->lumaPadHeight = paddedHeight - frame->height;
    if (layout.horizontal == 0) {
        info->chromaWidth = info->chromaHeight = info->chromaPadWidth = info->chromaPadHeight = 0;
        return;
    }
    info->chromaWidth = frame->width / layout.horizontal;
    info->chromaHeight = frame->height / layout.vertical;
    info->chromaPadWidth = paddedWidth / layout.horizontal - info->chromaWidth;
    info->chromaPadHeight = paddedHeight / layout.vertical - info->chromaHeight;
}

// Brings 16-bit samples down to `shift` fewer bits, rounded to the nearest.
void shiftSamples(AVFrame *frame, int planes, int chromaWidth, int chromaHeight, int shift)
{
    const int largest = (1 << (16 - shift)) - 1;
    for (int plane = 0; plane < planes; ++plane) {
        const int width = plane == 0 ? frame->width : chromaWidth;
        const int height = plane == 0 ? frame->height : chromaHeight;
        for (int row = 0; row < height; ++row) {
            auto *sample = reinterpret_cast<uint16_t *>(frame->data[plane] + ptrdiff_t(row) * frame->linesize[plane]);
            for (int column = 0; column < width; ++column)
                sample[column] = uint16_t(std::min(largest, (sample[column] + (1 << (shift - 1))) >> shift));
        }
    }
}

// Converts the decoded picture into decoder->converted (same size, the layout's format, then
// shifted down by `shift` bits).
int convertFrame(VideoDecoder *decoder, const PlanarLayout &layout, int shift)
{
    const AVFrame *source = decoder->frame;
    AVFrame *target = decoder->converted;
    if (!target) {
        target = decoder->converted = av_frame_alloc();
        if (!target)
            return AVERROR(ENOMEM);
    }
    if (target->width != source->width || target->height != source->height
        || target->format != layout.format || !target->data[0]) {
        av_frame_unref(target);
        target->format = layout.format;
        target->width = source->width;
        target->height = source->height;
        const int ret = av_frame_get_buffer(target, 0);
        if (ret < 0)
            return ret;
    }

    // Bicubic is what the ffmpeg tool's automatic conversions use, so both give the same bytes.
    SwsContext *scaler = sws_getCachedContext(decoder->scaler, source->width, source->height,
                                              static_cast<AVPixelFormat>(source->format),
                                              target->width, target->height, layout.format,
                                              SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler)
        return AVERROR(EINVAL);
    decoder->scaler = scaler;

    // Pictures flagged full range are brought to the limited range that the output means.
    if (source->color_range != AVCOL_RANGE_UNSPECIFIED) {
        int *inverseTable = nullptr, *table = nullptr;
        int sourceRange = 0, targetRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(scaler, &inverseTable, &sourceRange, &table, &targetRange,
                                     &brightness, &contrast, &saturation) >= 0) {
            sws_setColorspaceDetails(scaler, inverseTable, source->color_range == AVCOL_RANGE_JPEG,
                                     table, 0, brightness, contrast, saturation);
        }
    }

    const int rows = sws_scale(scaler, source->data, source->linesize, 0, source->height,
                               target->data, target->linesize);
    if (rows != target->height)
        return AVERROR(EINVAL);
    if (shift > 0) {
        const int planes = layout.horizontal == 0 ? 1 : 3;
        const int horizontal = std::max(layout.horizontal, 1), vertical = std::max(layout.vertical, 1);
        shiftSamples(target, planes, (target->width + horizontal - 1) / horizontal,
                     (target->height + vertical - 1) / vertical, shift);
    }
    return 0;
}

// Collects rows into large blocks, so that a picture reaches the stream in a few big writes
// instead of one small write per row; a run of picture bytes at least a block long goes out
// as it is, without a copy. Counts only the bytes of writes that went through, flush
// included; after the first failure it writes nothing more.
class BlockWriter
{
public:
    BlockWriter(FILE *file, int64_t total)
        : file(file)
        , capacity(static_cast<size_t>(std::clamp<int64_t>(total, 1, int64_t(1) << 18)))
        , buffer(new uint8_t[capacity])
    {
    }

    // Appends size bytes from data, or size zero bytes when data is null.
    void append(const uint8_t *data, size_t size)
    {
        if (data && size >= capacity) {
            writeBlock();
            writeOut(data, size);
            return;
        }
        while (size > 0 && !failed) {
            const size_t part = std::min(size, capacity - used);
            if (data) {
                memcpy(buffer.get() + used, data, part);
                data += part;
            } else {
                memset(buffer.get() + used, 0, part);
            }
            used += part;
            size -= part;
            if (used == capacity)
                writeBlock();
        }
    }

    // Writes what is collected and flushes the stream; returns the bytes that got through.
    int64_t finish()
    {
        writeBlock();
        if (!failed && fflush(file) != 0)
            failed = true;
        return written;
    }

private:
    void writeBlock()
    {
        writeOut(buffer.get(), used);
        used = 0;
    }

    void writeOut(const uint8_t *data, size_t size)
    {
        if (size == 0 || failed)
            return;
        // A write larger than the stream's buffer goes out at once; the flush makes sure that
        // whatever the stream kept back has reached the file before the bytes are counted.
        if (fwrite(data, 1, size, file) != size || fflush(file) != 0)
            failed = true;
        else
            written += static_cast<int64_t>(size);
    }

    FILE *file;
    size_t capacity;
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    int64_t written = 0;
    bool failed = false;
};

// Lays pictures out in memory, for writers that are not stdio streams.
class MemoryWriter
{
public:
    explicit MemoryWriter(uint8_t *buffer) : next(buffer) {}

    void append(const uint8_t *data, size_t size)
    {
        if (data)
            memcpy(next, data, size);
        else
            memset(next, 0, size);
        next += size;
    }

private:
    uint8_t *next;
};

template <typename Writer>
void appendPlane(Writer &writer, const uint8_t *plane, int stride, int width, int height,
                 int padWidth, int padHeight)
{
    if (stride == width && padWidth == 0) {
        // The rows lie back to back in memory: one run for the whole plane.
        writer.append(plane, static_cast<size_t>(width) * static_cast<size_t>(height));
    } else {
        for (int row = 0; row < height; ++row) {
            writer.append(plane + static_cast<ptrdiff_t>(row) * stride, static_cast<size_t>(width));
            writer.append(nullptr, static_cast<size_t>(padWidth));
        }
    }
    writer.append(nullptr, static_cast<size_t>(width + padWidth) * static_cast<size_t>(padHeight));
}

int interruptRequested(void *opaque)
{
    const VideoDecoder *decoder = static_cast<const VideoDecoder *>(opaque);
    return decoder->interrupt && decoder->interrupt(decoder->interruptOpaque);
}

// Reads a named pipe without blocking for good: the writer may take its time to appear or
// to write, and a stop must still be noticed. Before any writer has come, poll() reports
// nothing; once the last writer has gone, read() gives 0, the end of input.
int readPipe(void *opaque, uint8_t *buffer, int size)
{
    VideoDecoder *decoder = static_cast<VideoDecoder *>(opaque);
    for (;;) {
        if (interruptRequested(decoder))
            return AVERROR_EXIT;
        pollfd watched = {decoder->pipeFd, POLLIN, 0};
        const int ready = poll(&watched, 1, 100);
        if (ready < 0 && errno != EINTR)
            return AVERROR(errno);
        if (ready <= 0)
            continue;
        const ssize_t got = read(decoder->pipeFd, buffer, static_cast<size_t>(size));
        if (got > 0)
            return static_cast<int>(got);
        if (got == 0)
            return AVERROR_EOF;
        if (errno != EAGAIN && errno != EINTR)
            return AVERROR(errno);
    }
}

// Opens a named pipe for reading at once (without waiting for a writer) and puts a reader
// of our own in front of it.
int openPipeInput(VideoDecoder *decoder, const char *path)
{
    decoder->pipeFd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (decoder->pipeFd < 0)
        return AVERROR(errno);
    const int bufferSize = 1 << 16;
    auto *buffer = static_cast<unsigned char *>(av_malloc(bufferSize));
    if (buffer)
        decoder->pipeIo = avio_alloc_context(buffer, bufferSize, 0, decoder, readPipe, nullptr, nullptr);
    if (!decoder->pipeIo) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    decoder->pipeIo->seekable = 0;
    decoder->inputContext->pb = decoder->pipeIo;
    return 0;
}

bool isNamedPipe(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

AVRational streamFrameRate(const AVStream *stream)
{
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        return stream->avg_frame_rate;
    if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0)
        return stream->r_frame_rate;
    return AVRational{0, 1};
}

bool isFullRangeFormat(int format)
{
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P
           || format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P
           || format == AV_PIX_FMT_YUVJ411P;
}

// A fraction in steps of 1/unit, rounded and kept within [0, largest]; 0 for a broken one.
uint32_t inSteps(AVRational value, int64_t unit, uint32_t largest)
{
    if (value.den <= 0 || value.num <= 0)
        return 0;
    return uint32_t(std::min<int64_t>(largest, av_rescale(value.num, unit, value.den)));
}

// The SEI messages carry both halves of a mastering display or none.
void takeMasteringDisplay(const AVMasteringDisplayMetadata *display, HdrMetadata *hdr)
{
    if (hdr->hasMasteringDisplay || !display || !display->has_primaries || !display->has_luminance)
        return;
    // FFmpeg keeps the primaries as red, green, blue; the SEI message has green, blue, red.
    static const int fromRgb[3] = {1, 2, 0};
    for (int i = 0; i < 3; ++i) {
        hdr->primariesX[i] = uint16_t(inSteps(display->display_primaries[fromRgb[i]][0], 50000, 50000));
        hdr->primariesY[i] = uint16_t(inSteps(display->display_primaries[fromRgb[i]][1], 50000, 50000));
    }
    hdr->whitePointX = uint16_t(inSteps(display->white_point[0], 50000, 50000));
    hdr->whitePointY = uint16_t(inSteps(display->white_point[1], 50000, 50000));
    hdr->maxLuminance = inSteps(display->max_luminance, 10000, UINT32_MAX);
    hdr->minLuminance = inSteps(display->min_luminance, 10000, UINT32_MAX);
    hdr->hasMasteringDisplay = true;
}

void takeLightLevel(const AVContentLightMetadata *light, HdrMetadata *hdr)
{
    if (hdr->hasLightLevel || !light)
        return;
    hdr->maxContentLight = uint16_t(std::min(light->MaxCLL, 65535u));
    hdr->maxFrameAverageLight = uint16_t(std::min(light->MaxFALL, 65535u));
    hdr->hasLightLevel = true;
}

// Side data the container keeps for the whole stream.
const uint8_t *streamSideData(const AVStream *stream, AVPacketSideDataType type, size_t minimumSize)
{
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    const AVPacketSideData *data = av_packet_side_data_get(stream->codecpar->coded_side_data,
                                                           stream->codecpar->nb_coded_side_data, type);
    return data && data->size >= minimumSize ? data->data : nullptr;
#else
    size_t size = 0;
    const uint8_t *data = av_stream_get_side_data(stream, type, &size);
    return data && size >= minimumSize ? data : nullptr;
#endif
}

} // namespace

VideoDecoder *decoderCreate()
{
    VideoDecoder *decoder = static_cast<VideoDecoder *>(calloc(1, sizeof(VideoDecoder)));
    if (decoder) {
        decoder->videoStreamIndex = -1;
        decoder->pipeFd = -1;
    }
    return decoder;
}

void decoderForce420(VideoDecoder *decoder, bool force)
{
    if (!decoder)
        return;
    decoder->outputDepth = force ? 8 : 0;
    decoder->outputChroma = 420;
}

int decoderSetOutputFormat(VideoDecoder *decoder, int bitDepth, int chromaFormat)
{
    if (!decoder || bitDepth < 8 || bitDepth > 16 || chromaIndex(chromaFormat) < 0)
        return AVERROR(EINVAL);
    decoder->outputDepth = bitDepth;
    decoder->outputChroma = chromaFormat;
    return 0;
}

void decoderSetInterrupt(VideoDecoder *decoder, int (*callback)(void *), void *opaque)
{
    if (!decoder)
        return;
    decoder->interrupt = callback;
    decoder->interruptOpaque = opaque;
}

int decoderStreamInfo(const VideoDecoder *decoder, StreamInfo *info)
{
    if (!decoderIsOpen(decoder) || !info)
        return AVERROR(EINVAL);
    AVFormatContext *format = decoder->inputContext;
    AVStream *stream = format->streams[decoder->videoStreamIndex];
    const AVCodecParameters *parameters = stream->codecpar;
    *info = StreamInfo();

    const AVRational rate = streamFrameRate(stream);
    info->frameRateNum = rate.num;
    info->frameRateDen = rate.den;
    if (stream->nb_frames > 0) {
        info->pictureCount = stream->nb_frames;
        info->pictureCountDeclared = true;
    } else if (rate.num > 0) {
        // Some containers know only the duration: of the stream, else of the whole file.
        double seconds = 0;
        if (stream->duration > 0 && stream->time_base.den > 0)
            seconds = stream->duration * av_q2d(stream->time_base);
        else if (format->duration > 0)
            seconds = format->duration / double(AV_TIME_BASE);
        info->pictureCount = static_cast<int64_t>(seconds * av_q2d(rate) + 0.5);
    }

    const AVRational sar = av_guess_sample_aspect_ratio(format, stream, nullptr);
    if (sar.num > 0 && sar.den > 0) {
        info->sarNum = sar.num;
        info->sarDen = sar.den;
    }
    info->fullRange = parameters->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(parameters->format);
    info->colourPrimaries = parameters->color_primaries;
    info->transferCharacteristics = parameters->color_trc;
    info->matrixCoefficients = parameters->color_space;
    const AVPixFmtDescriptor *pixels = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters->format));
    info->bitDepth = pixels ? pixels->comp[0].depth : 0;
    takeMasteringDisplay(reinterpret_cast<const AVMasteringDisplayMetadata *>(streamSideData(
                             stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof(AVMasteringDisplayMetadata))),
                         &info->hdr);
    takeLightLevel(reinterpret_cast<const AVContentLightMetadata *>(streamSideData(
                       stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof(AVContentLightMetadata))),
                   &info->hdr);
    return 0;
}

bool decoderPictureIsFullRange(const VideoDecoder *decoder)
{
    if (!decoder || !decoder->frame || decoder->lastConverted)
        return false;
    return decoder->frame->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(decoder->frame->format);
}

void decoderPictureHdr(const VideoDecoder *decoder, HdrMetadata *hdr)
{
    if (!decoder || !decoder->frame || !hdr)
        return;
    const AVFrameSideData *display = av_frame_get_side_data(decoder->frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    if (display && display->size >= sizeof(AVMasteringDisplayMetadata))
        takeMasteringDisplay(reinterpret_cast<const AVMasteringDisplayMetadata *>(display->data), hdr);
    const AVFrameSideData *light = av_frame_get_side_data(decoder->frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    if (light && light->size >= sizeof(AVContentLightMetadata))
        takeLightLevel(reinterpret_cast<const AVContentLightMetadata *>(light->data), hdr);
}

int64_t decoderPictureTime(const VideoDecoder *decoder, int64_t *duration)
{
    if (duration)
        *duration = 0;
    if (!decoder || !decoder->frame)
        return AV_NOPTS_VALUE;
    if (duration) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
        *duration = std::max<int64_t>(0, decoder->frame->duration);
#else
        *duration = std::max<int64_t>(0, decoder->frame->pkt_duration);
#endif
    }
    return decoder->frame->best_effort_timestamp;
}

bool decoderTimeBase(const VideoDecoder *decoder, int *num, int *den)
{
    if (!decoderIsOpen(decoder))
        return false;
    const AVRational base = decoder->inputContext->streams[decoder->videoStreamIndex]->time_base;
    *num = base.num;
    *den = base.den;
    return true;
}

namespace {

// The number of pictures a decoder that started at the first one has delivered before the
// picture with this timestamp, read from the stream's clock: `first` is the first picture's
// timestamp, and pictures follow each other one frame duration apart. False when the
// timestamp is missing or lies between two places of that grid.
bool picturePosition(int64_t timestamp, int64_t first, double picturesPerTick, int64_t *position)
{
    if (timestamp == AV_NOPTS_VALUE)
        return false;
    const double exact = (double(timestamp) - double(first)) * picturesPerTick;
    if (exact < -1e15 || exact > 1e15)
        return false;
    const int64_t nearest = static_cast<int64_t>(exact + (exact >= 0 ? 0.5 : -0.5));
    const double offset = exact - double(nearest);
    if (offset < -0.25 || offset > 0.25)
        return false;
    *position = nearest;
    return true;
}

// Whether picture numbers can be told from timestamps, so that a seek can stand in for
// decoding from the start: a seekable file whose container keeps real timestamps and counts
// its pictures, at a constant frame rate. Elementary streams have no timestamps of their own
// (the demuxer makes them up from an assumed rate), transport and program streams may jump,
// and a stream whose average rate differs from its base rate, or whose picture count does not
// match its duration, has pictures of changing length or gaps. Without a count (Matroska, for
// one) a gap somewhere before the target could not be seen, and every picture after it would
// be taken for a later one.
bool clockCountsPictures(const VideoDecoder *decoder, double *picturesPerTick)
{
    const AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    if (decoder->pipeFd >= 0 || !format->pb || !(format->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return false;
    if (format->iformat->flags & (AVFMT_NOTIMESTAMPS | AVFMT_TS_DISCONT))
        return false;
    const AVRational rate = stream->avg_frame_rate;
    const AVRational baseRate = stream->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0 || baseRate.num <= 0 || baseRate.den <= 0
        || av_cmp_q(rate, baseRate) != 0 || stream->time_base.num <= 0 || stream->time_base.den <= 0)
        return false;
    *picturesPerTick = av_q2d(stream->time_base) * av_q2d(rate);
    // With fewer than four ticks a picture, rounded timestamps cannot be placed on the grid.
    if (*picturesPerTick > 0.25)
        return false;
    if (stream->nb_frames <= 0 || stream->duration <= 0)
        return false;
    const double counted = double(stream->duration) * *picturesPerTick;
    return counted > stream->nb_frames - 0.5 && counted < stream->nb_frames + 0.5;
}

int dropPictures(VideoDecoder *decoder, int64_t count)
{
    FrameInfo dropped;
    for (int64_t picture = 0; picture < count; ++picture) {
        const int ret = decoderNextFrame(decoder, &dropped);
        if (ret < 0)
            return ret;
    }
    return 0;
}

// Opens the input afresh and decodes from its start: after a seek, the demuxer's read position
// is no longer where the first picture begins. The interrupt and the output format stay.
int dropFromStart(VideoDecoder *decoder, int64_t count)
{
    char *path = av_strdup(decoder->inputContext->url);
    if (!path)
        return AVERROR(ENOMEM);
    int ret = decoderOpen(decoder, path);
    av_free(path);
    if (ret >= 0)
        ret = dropPictures(decoder, count);
    return ret;
}

// The outcome of seekAndDrop when the seek cannot be trusted.
const int seekUnreliable = 1;

// Seeks to the keyframe at or before the last picture to drop and decodes up to and including
// it. Each picture after the seek must lie on the grid and follow the one before it, or the
// timestamps do not count pictures after all; a seek that lands after the target is tried
// again further back. Returns 0 when positioned, AVERROR_EOF when the input ends before,
// seekUnreliable when the decode must start over, and other errors as they are.
int seekAndDrop(VideoDecoder *decoder, int64_t index, int64_t first, double picturesPerTick)
{
    AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    const AVRational frameDuration = av_inv_q(stream->avg_frame_rate);
    const int64_t last = index - 1;
    const int64_t secondOfPictures =
        std::max<int64_t>(1, static_cast<int64_t>(av_q2d(stream->avg_frame_rate) + 0.5));
    int64_t aim = last;
    FrameInfo dropped;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int64_t target = first + av_rescale_q(aim, frameDuration, stream->time_base);
        if (av_seek_frame(format, decoder->videoStreamIndex, target, AVSEEK_FLAG_BACKWARD) < 0)
            return seekUnreliable;
        // Pictures held for reordering belong to the old position.
        avcodec_flush_buffers(decoder->codecContext);
        decoder->draining = false;

        int ret = decoderNextFrame(decoder, &dropped);
        if (ret == AVERROR_EXIT)
            return ret;
        int64_t position = 0;
        if (ret < 0
            || !picturePosition(decoder->frame->best_effort_timestamp, first, picturesPerTick, &position)
            || position < 0)
            return seekUnreliable;
        decoder->nextPicture = position + 1;
        if (position > last) {
            // Landed after the target (its leading pictures are not decodable from there):
            // a second further back, then two, then four, at most to the start.
            if (aim == 0)
                return seekUnreliable;
            aim = std::max<int64_t>(0, std::min(aim, position) - (secondOfPictures << attempt));
            continue;
        }
        while (position < last) {
            ret = decoderNextFrame(decoder, &dropped);
            if (ret == AVERROR_EOF || ret == AVERROR_EXIT)
                return ret;
            int64_t next = 0;
            if (ret < 0
                || !picturePosition(decoder->frame->best_effort_timestamp, first, picturesPerTick, &next)
                || next != position + 1)
                return seekUnreliable;
            position = next;
            decoder->nextPicture = position + 1;
        }
        decoder->nextPicture = position + 1;
        return 0;
    }
    return seekUnreliable;
}

} // namespace

int decoderSkipTo(VideoDecoder *decoder, int64_t index)
{
    if (index <= 0)
        return 0;
    double picturesPerTick = 0;
    if (!decoderIsOpen(decoder) || !clockCountsPictures(decoder, &picturesPerTick))
        return dropPictures(decoder, index);

    // The first picture anchors the grid: decoding from the start counts from it, whatever the
    // container says the stream's start time is.
    FrameInfo dropped;
    int ret = decoderNextFrame(decoder, &dropped);
    if (ret < 0 || index == 1)
        return ret < 0 ? ret : 0;
    const int64_t first = decoder->frame->best_effort_timestamp;
    const AVStream *stream = decoder->inputContext->streams[decoder->videoStreamIndex];
    const int64_t span = av_rescale_q(index - 1, av_inv_q(stream->avg_frame_rate), stream->time_base);
    // Nothing has moved yet: where the target cannot be named, decoding simply goes on.
    if (first == AV_NOPTS_VALUE || first < INT64_MIN / 4 || first > INT64_MAX / 4 || span < 0
        || span > INT64_MAX / 4)
        return dropPictures(decoder, index - 1);

    ret = seekAndDrop(decoder, index, first, picturesPerTick);
    if (ret == seekUnreliable)
        return dropFromStart(decoder, index);
    return ret;
}

namespace {

// Seeks to the keyframe at or before `time` and decodes up to and including the picture shown
// at `time`. A seek that lands after it (its leading pictures cannot be decoded from there) is
// tried again further back. Returns 0 when positioned, seekUnreliable when no picture turns out
// to have exactly that timestamp, AVERROR_EXIT when stopped.
int seekToTime(VideoDecoder *decoder, int64_t time)
{
    AVFormatContext *format = decoder->inputContext;
    const AVStream *stream = format->streams[decoder->videoStreamIndex];
    // A second of pictures in the stream's time base, doubled with every attempt.
    const int64_t second = std::max<int64_t>(1, av_rescale_q(1, AVRational{1, 1}, stream->time_base));
    int64_t aim = time;
    FrameInfo dropped;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (av_seek_frame(format, decoder->videoStreamIndex, aim, AVSEEK_FLAG_BACKWARD) < 0)
            return seekUnreliable;
        avcodec_flush_buffers(decoder->codecContext);
        decoder->draining = false;
        bool first = true;
        for (;;) {
            const int ret = decoderNextFrame(decoder, &dropped);
            if (ret == AVERROR_EXIT)
                return ret;
            const int64_t shown = ret < 0 ? AV_NOPTS_VALUE : decoder->frame->best_effort_timestamp;
            // The count named this picture: an end before it means the timestamps mislead.
            if (ret < 0 || shown == AV_NOPTS_VALUE)
                return seekUnreliable;
            if (shown == time)
                return 0;
            if (shown > time) {
                if (!first)
                    return seekUnreliable;   // the picture at `time` never came
                break;
            }
            first = false;
        }
        if (aim <= INT64_MIN / 4)
            return seekUnreliable;
        aim -= second << attempt;
    }
    return seekUnreliable;
}

} // namespace

int decoderSkipToTime(VideoDecoder *decoder, int64_t index, int64_t previousTime)
{
    if (index <= 0)
        return 0;
    if (!decoderIsOpen(decoder) || decoder->pipeFd >= 0 || !decoder->inputContext->pb
        || !(decoder->inputContext->pb->seekable & AVIO_SEEKABLE_NORMAL))
        return decoderSkipTo(decoder, index);
    const int ret = seekToTime(decoder, previousTime);
    if (ret == seekUnreliable)
        return dropFromStart(decoder, index);
    if (ret == 0)
        decoder->nextPicture = index;
    return ret;
}

int64_t decoderNextPicture(const VideoDecoder *decoder)
{
    return decoder ? decoder->nextPicture : 0;
}

int decoderOpen(VideoDecoder *decoder, const char *path)
{
    if (!decoder)
        return AVERROR(EINVAL);
    // A decoder is meant to be opened once; should it be opened again, nothing leaks.
    decoderClose(decoder);
    decoder->nextPicture = 0;

    decoder->inputContext = avformat_alloc_context();
    if (!decoder->inputContext)
        return AVERROR(ENOMEM);
    decoder->inputContext->interrupt_callback.callback = interruptRequested;
    decoder->inputContext->interrupt_callback.opaque = decoder;
    int ret = 0;
    if (isNamedPipe(path) && (ret = openPipeInput(decoder, path)) < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot open input file\n");
        return ret;
    }
    ret = avformat_open_input(&decoder->inputContext, path, nullptr, nullptr);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot open input file\n");
        return ret;
    }
    ret = avformat_find_stream_info(decoder->inputContext, nullptr);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot find stream information\n");
        return ret;
    }
    const AVCodec *codec = nullptr;
    ret = av_find_best_stream(decoder->inputContext, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot find a video stream in the input file\n");
        return ret;
    }
    decoder->videoStreamIndex = ret;
    const AVStream *stream = decoder->inputContext->streams[ret];

    decoder->packet = av_packet_alloc();
    decoder->frame = av_frame_alloc();
    decoder->codecContext = avcodec_alloc_context3(codec);
    if (!decoder->packet || !decoder->frame || !decoder->codecContext)
        ret = AVERROR(ENOMEM);
    else
        ret = avcodec_parameters_to_context(decoder->codecContext, stream->codecpar);
    if (ret >= 0) {
        decoder->codecContext->pkt_timebase = stream->time_base;
        // Let FFmpeg pick the number of decoding threads; draining at the end of input
        // returns the pictures the threads hold back.
        decoder->codecContext->thread_count = 0;
        ret = avcodec_open2(decoder->codecContext, codec, nullptr);
    }
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot open video decoder\n");
        return ret;
    }

    // A graph that is never run: it only proves that the stream's pictures can be scaled
    // down to gray, and the input counts as unusable when it cannot be built.
    const AVFilter *bufferSource = avfilter_get_by_name("buffer");
    const AVFilter *bufferSink = avfilter_get_by_name("buffersink");
    InOutPtr outputs(avfilter_inout_alloc());
    InOutPtr inputs(avfilter_inout_alloc());
    decoder->filterGraph = avfilter_graph_alloc();
    if (!bufferSource || !bufferSink || !outputs || !inputs || !decoder->filterGraph) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer source\n");
        return AVERROR(ENOMEM);
    }

    const AVCodecContext *context = decoder->codecContext;
    AVRational timeBase = context->pkt_timebase;
    if (timeBase.num <= 0 || timeBase.den <= 0)
        timeBase = AVRational{1, AV_TIME_BASE};
    char arguments[512];
    snprintf(arguments, sizeof arguments,
             "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", context->width,
             context->height, context->pix_fmt, timeBase.num, timeBase.den,
             context->sample_aspect_ratio.num, context->sample_aspect_ratio.den);
    ret = avfilter_graph_create_filter(&decoder->sourceFilter, bufferSource, "in", arguments,
                                       nullptr, decoder->filterGraph);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer source\n");
        return ret;
    }
    const int sinkFormats[] = {AV_PIX_FMT_GRAY8, AV_PIX_FMT_NONE};
    ret = avfilter_graph_create_filter(&decoder->sinkFilter, bufferSink, "out", nullptr, nullptr,
                                       decoder->filterGraph);
    if (ret >= 0)
        ret = av_opt_set_int_list(decoder->sinkFilter, "pix_fmts", sinkFormats, AV_PIX_FMT_NONE,
                                  AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer sink\n");
        return ret;
    }

    outputs->name = av_strdup("in");
    outputs->filter_ctx = decoder->sourceFilter;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = decoder->sinkFilter;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    AVFilterInOut *openInputs = inputs.release();
    AVFilterInOut *openOutputs = outputs.release();
    ret = avfilter_graph_parse_ptr(decoder->filterGraph, "scale=78:24", &openInputs, &openOutputs,
                                   nullptr);
    avfilter_inout_free(&openInputs);
    avfilter_inout_free(&openOutputs);
    if (ret < 0)
        return ret;
    ret = avfilter_graph_config(decoder->filterGraph, nullptr);
    return ret < 0 ? ret : 0;
}

bool decoderIsOpen(const VideoDecoder *decoder)
{
    return decoder && decoder->videoStreamIndex >= 0;
}

namespace {

// Hands out the decoded picture as it is when it already has the wanted layout, else converted.
int deliverFrame(VideoDecoder *decoder, FrameInfo *info)
{
    const AVFrame *frame = decoder->frame;
    PlanarLayout layout;
    int shift = 0;
    if (decoder->outputDepth == 0) {
        decoder->lastConverted = !keptLayout(frame->format, &layout);
        // Any other format goes to the file as 8-bit planar 4:2:0.
        if (decoder->lastConverted)
            layout = outputLayout(8, 420, &shift);
    } else {
        layout = outputLayout(decoder->outputDepth, decoder->outputChroma, &shift);
        decoder->lastConverted = shift > 0 || limitedTwin(frame->format) != layout.format;
    }
    if (!decoder->lastConverted) {
        fillFrameInfo(frame, layout, info);
        return 0;
    }
    const int ret = convertFrame(decoder, layout, shift);
    if (ret < 0) {
        reportError(ret);
        return ret;
    }
    fillFrameInfo(decoder->converted, layout, info);
    return 0;
}

} // namespace

int decoderNextFrame(VideoDecoder *decoder, FrameInfo *info)
{
    if (!decoder || !info || !decoder->inputContext || !decoder->codecContext
        || !decoder->packet || !decoder->frame) {
        reportError(AVERROR(EINVAL));
        return AVERROR(EINVAL);
    }
    AVCodecContext *codec = decoder->codecContext;
    AVFrame *frame = decoder->frame;

    for (;;) {
        // Pictures the codec already holds come first; only when it asks for more input is
        // the next packet read.
        av_frame_unref(frame);
        int ret = avcodec_receive_frame(codec, frame);
        if (ret >= 0)
            break;
        if (ret == AVERROR_EOF)
            return AVERROR_EOF;
        if (ret != AVERROR(EAGAIN))
            return failDecoding(ret);
        if (decoder->draining)
            return AVERROR_EOF;

        ret = av_read_frame(decoder->inputContext, decoder->packet);
        if (ret == AVERROR_EOF) {
            // End of input: an empty packet makes the codec give up the pictures it holds
            // back for reordering and in its threads.
            decoder->draining = true;
            ret = avcodec_send_packet(codec, nullptr);
            if (ret < 0 && ret != AVERROR_EOF)
                return failDecoding(ret);
            continue;
        }
        if (ret < 0) {
            reportError(ret);
            return ret;
        }
        if (decoder->packet->stream_index != decoder->videoStreamIndex) {
            av_packet_unref(decoder->packet);
            continue;
        }
        ret = avcodec_send_packet(codec, decoder->packet);
        av_packet_unref(decoder->packet);
        if (ret < 0)
            return failDecoding(ret);
    }

    ++decoder->nextPicture;
    return deliverFrame(decoder, info);
}

int64_t frameByteSize(const FrameInfo *info)
{
    if (!info)
        return 0;
    const int64_t luma = int64_t(info->width + info->lumaPadWidth)
                         * (info->height + info->lumaPadHeight);
    const int64_t chroma = int64_t(info->chromaWidth + info->chromaPadWidth)
                           * (info->chromaHeight + info->chromaPadHeight);
    return (luma + 2 * chroma) * bytesPerSample(info->pixelFormat);
}

namespace {

// Widths go to the writer in bytes.
template <typename Writer>
void appendPicture(Writer &writer, const FrameInfo *info)
{
    const int bytes = bytesPerSample(info->pixelFormat);
    appendPlane(writer, info->planes[0], info->strides[0], info->width * bytes, info->height,
                info->lumaPadWidth * bytes, info->lumaPadHeight);
    if (info->chromaWidth + info->chromaPadWidth == 0)   // 4:0:0
        return;
    for (int plane = 1; plane <= 2; ++plane)
        appendPlane(writer, info->planes[plane], info->strides[plane], info->chromaWidth * bytes,
                    info->chromaHeight, info->chromaPadWidth * bytes, info->chromaPadHeight);
}

} // namespace

int64_t writeFrame(const FrameInfo *info, FILE *file)
{
    if (!info || !file)
        return 0;
    BlockWriter writer(file, frameByteSize(info));
    appendPicture(writer, info);
    return writer.finish();
}

int64_t packFrame(const FrameInfo *info, uint8_t *buffer)
{
    if (!info || !buffer)
        return 0;
    MemoryWriter writer(buffer);
    appendPicture(writer, info);
    return frameByteSize(info);
}

void decoderClose(VideoDecoder *decoder)
{
    if (!decoder)
        return;
    // Freeing the graph frees both filter instances.
    avfilter_graph_free(&decoder->filterGraph);
    decoder->sourceFilter = nullptr;
    decoder->sinkFilter = nullptr;
    avcodec_free_context(&decoder->codecContext);
    avformat_close_input(&decoder->inputContext);
    // A reader of our own is not freed with the input.
    if (decoder->pipeIo) {
        av_freep(&decoder->pipeIo->buffer);
        avio_context_free(&decoder->pipeIo);
    }
    if (decoder->pipeFd >= 0) {
        close(decoder->pipeFd);
        decoder->pipeFd = -1;
    }
    av_packet_free(&decoder->packet);
    av_frame_free(&decoder->frame);
    av_frame_free(&decoder->converted);
    sws_freeContext(decoder->scaler);
    decoder->scaler = nullptr;
    decoder->draining = false;
    decoder->videoStreamIndex = -1;
}

void decoderDestroy(VideoDecoder **decoder)
{
    if (!decoder || !*decoder)
        return;
    decoderClose(*decoder);
    free(*decoder);
    *decoder = nullptr;
}
