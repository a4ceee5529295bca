#include "videodecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
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

// The formats written as they are, with their chroma divisors. The full-range formats have
// the same memory layout as their limited-range twins and are written the same way.
struct PlanarLayout
{
    AVPixelFormat format;   // the code reported in FrameInfo
    int horizontal;
    int vertical;
};

bool planarLayout(int format, PlanarLayout *layout)
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
    info->chromaWidth = frame->width / layout.horizontal;
    info->chromaHeight = frame->height / layout.vertical;
    info->chromaPadWidth = paddedWidth / layout.horizontal - info->chromaWidth;
    info->chromaPadHeight = paddedHeight / layout.vertical - info->chromaHeight;
}

// Converts the decoded picture into decoder->converted (8-bit planar 4:2:0, same size).
int convertFrame(VideoDecoder *decoder)
{
    const AVFrame *source = decoder->frame;
    AVFrame *target = decoder->converted;
    if (!target) {
        target = decoder->converted = av_frame_alloc();
        if (!target)
            return AVERROR(ENOMEM);
    }
    if (target->width != source->width || target->height != source->height || !target->data[0]) {
        av_frame_unref(target);
        target->format = AV_PIX_FMT_YUV420P;
        target->width = source->width;
        target->height = source->height;
        const int ret = av_frame_get_buffer(target, 0);
        if (ret < 0)
            return ret;
    }

    // Bicubic is what the ffmpeg tool's automatic conversions use, so both give the same bytes.
    SwsContext *scaler = sws_getCachedContext(decoder->scaler, source->width, source->height,
                                              static_cast<AVPixelFormat>(source->format),
                                              target->width, target->height, AV_PIX_FMT_YUV420P,
                                              SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler)
        return AVERROR(EINVAL);
    decoder->scaler = scaler;

    // Pictures flagged full range are brought to the limited range that 4:2:0 output means.
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
    return rows == target->height ? 0 : AVERROR(EINVAL);
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

void appendPlane(BlockWriter &writer, const uint8_t *plane, int stride, int width, int height,
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

} // namespace

VideoDecoder *decoderCreate()
{
    VideoDecoder *decoder = static_cast<VideoDecoder *>(calloc(1, sizeof(VideoDecoder)));
    if (decoder)
        decoder->videoStreamIndex = -1;
    return decoder;
}

int decoderOpen(VideoDecoder *decoder, const char *path)
{
    if (!decoder)
        return AVERROR(EINVAL);
    // A decoder is meant to be opened once; should it be opened again, nothing leaks.
    decoderClose(decoder);

    int ret = avformat_open_input(&decoder->inputContext, path, nullptr, nullptr);
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

    PlanarLayout layout;
    if (planarLayout(frame->format, &layout)) {
        fillFrameInfo(frame, layout, info);
        return 0;
    }
    // Any other format goes to the file as 8-bit planar 4:2:0, the only thing the encoder
    // is told of.
    const int ret = convertFrame(decoder);
    if (ret < 0) {
        reportError(ret);
        return ret;
    }
    planarLayout(AV_PIX_FMT_YUV420P, &layout);
    fillFrameInfo(decoder->converted, layout, info);
    return 0;
}

int64_t frameByteSize(const FrameInfo *info)
{
    if (!info)
        return 0;
    const int64_t luma = int64_t(info->width + info->lumaPadWidth)
                         * (info->height + info->lumaPadHeight);
    const int64_t chroma = int64_t(info->chromaWidth + info->chromaPadWidth)
                           * (info->chromaHeight + info->chromaPadHeight);
    return luma + 2 * chroma;
}

int64_t writeFrame(const FrameInfo *info, FILE *file)
{
    if (!info || !file)
        return 0;
    BlockWriter writer(file, frameByteSize(info));
    appendPlane(writer, info->planes[0], info->strides[0], info->width, info->height,
                info->lumaPadWidth, info->lumaPadHeight);
    for (int plane = 1; plane <= 2; ++plane)
        appendPlane(writer, info->planes[plane], info->strides[plane], info->chromaWidth,
                    info->chromaHeight, info->chromaPadWidth, info->chromaPadHeight);
    return writer.finish();
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
