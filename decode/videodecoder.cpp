#include "videodecoder.h"

#include "avowners.h"
#include "framewriter.h"
#include "hdrsidedata.h"
#include "pictureconverter.h"
#include "pictureseek.h"
#include "pipeinput.h"
#include "planarlayout.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

using AvOwners::InOutPtr;

namespace {

std::atomic<bool> errorsToLogger{false};

// Says "Error occurred: <text>" for a failed step of the decode loop: on standard error, or
// where FFmpeg's logger goes once decoderErrorsToLogger() was called.
void reportError(int code)
{
    char text[1024];
    if (av_strerror(code, text, sizeof text) < 0)
        snprintf(text, sizeof text, "Error number %d occurred", code);
    if (errorsToLogger)
        av_log(nullptr, AV_LOG_ERROR, "Error occurred: %s\n", text);
    else
        fprintf(stderr, "Error occurred: %s\n", text);
}

int failDecoding(int code)
{
    av_log(nullptr, AV_LOG_ERROR, "Error decoding video\n");
    reportError(code);
    return code;
}

int interruptRequested(void *opaque)
{
    const VideoDecoder *decoder = static_cast<const VideoDecoder *>(opaque);
    return decoder->interrupt && decoder->interrupt(decoder->interruptOpaque);
}

// Opens a named pipe for reading at once (without waiting for a writer) and puts a reader
// of our own in front of it.
int openPipeInput(VideoDecoder *decoder, const char *path)
{
    const int ret = PipeInput::openPipe(path, interruptRequested, decoder, &decoder->pipeFd,
                                        &decoder->pipeIo);
    if (ret < 0)
        return ret;
    decoder->inputContext->pb = decoder->pipeIo;
    return 0;
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

} // namespace

void decoderErrorsToLogger()
{
    errorsToLogger = true;
}

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
    if (!decoder || bitDepth < 8 || bitDepth > 16 || PlanarLayout::chromaIndex(chromaFormat) < 0)
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
    HdrSideData::takeFromStream(stream, &info->hdr);
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
    HdrSideData::takeFromPicture(decoder->frame, hdr);
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

int decoderSkipTo(VideoDecoder *decoder, int64_t index)
{
    return PictureSeek::toPicture(decoder, index);
}

int decoderSkipToTime(VideoDecoder *decoder, int64_t index, int64_t previousTime)
{
    return PictureSeek::toPictureAfterTime(decoder, index, previousTime);
}

int64_t decoderNextPicture(const VideoDecoder *decoder)
{
    return decoder ? decoder->nextPicture : 0;
}

namespace {

// A graph that is never run: it only proves that the stream's pictures can be scaled down to
// gray, and the input counts as unusable when it cannot be built.
int buildScaleCheck(VideoDecoder *decoder)
{
    QString unloaded;
    const AvFilterLibrary::Calls *filters = AvFilterLibrary::calls(&unloaded);
    if (!filters) {
        av_log(nullptr, AV_LOG_ERROR, "%s\n", unloaded.toLocal8Bit().constData());
        return AVERROR(ENOSYS);
    }
    const AVFilter *bufferSource = filters->get_by_name("buffer");
    const AVFilter *bufferSink = filters->get_by_name("buffersink");
    InOutPtr outputs(filters->inout_alloc());
    InOutPtr inputs(filters->inout_alloc());
    decoder->filterGraph = filters->graph_alloc();
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
    int ret = filters->graph_create_filter(&decoder->sourceFilter, bufferSource, "in", arguments,
                                           nullptr, decoder->filterGraph);
    if (ret < 0) {
        av_log(nullptr, AV_LOG_ERROR, "Cannot create buffer source\n");
        return ret;
    }
    const int sinkFormats[] = {AV_PIX_FMT_GRAY8, AV_PIX_FMT_NONE};
    ret = filters->graph_create_filter(&decoder->sinkFilter, bufferSink, "out", nullptr, nullptr,
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
    ret = filters->graph_parse_ptr(decoder->filterGraph, "scale=78:24", &openInputs, &openOutputs,
                                   nullptr);
    filters->inout_free(&openInputs);
    filters->inout_free(&openOutputs);
    if (ret < 0)
        return ret;
    ret = filters->graph_config(decoder->filterGraph, nullptr);
    return ret < 0 ? ret : 0;
}

} // namespace

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
    if (PipeInput::isNamedPipe(path) && (ret = openPipeInput(decoder, path)) < 0) {
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

    return buildScaleCheck(decoder);
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
        decoder->lastConverted = !PlanarLayout::kept(frame->format, &layout);
        // Any other format goes to the file as 8-bit planar 4:2:0.
        if (decoder->lastConverted)
            layout = PlanarLayout::output(8, 420, &shift);
    } else {
        layout = PlanarLayout::output(decoder->outputDepth, decoder->outputChroma, &shift);
        decoder->lastConverted = shift > 0 || PlanarLayout::limitedTwin(frame->format) != layout.format;
    }
    if (!decoder->lastConverted) {
        layout.describe(frame, info);
        return 0;
    }
    const int ret = PictureConverter::convert(frame, layout, shift, &decoder->converted, &decoder->scaler);
    if (ret < 0) {
        reportError(ret);
        return ret;
    }
    layout.describe(decoder->converted, info);
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
    return info ? FrameWriter::byteSize(*info) : 0;
}

int64_t writeFrame(const FrameInfo *info, FILE *file)
{
    return info && file ? FrameWriter::write(*info, file) : 0;
}

int64_t packFrame(const FrameInfo *info, uint8_t *buffer)
{
    return info && buffer ? FrameWriter::pack(*info, buffer) : 0;
}

void decoderClose(VideoDecoder *decoder)
{
    if (!decoder)
        return;
    // Freeing the graph frees both filter instances.
    AvFilterLibrary::freeGraph(&decoder->filterGraph);
    decoder->sourceFilter = nullptr;
    decoder->sinkFilter = nullptr;
    avcodec_free_context(&decoder->codecContext);
    avformat_close_input(&decoder->inputContext);
    // A reader of our own is not freed with the input.
    PipeInput::closePipe(&decoder->pipeFd, &decoder->pipeIo);
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
