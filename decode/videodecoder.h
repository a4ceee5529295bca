#ifndef VIDEODECODER_H
#define VIDEODECODER_H

// Procedural video decoder: opens any input FFmpeg can read, delivers its pictures one by
// one as planar YUV and writes them, padded to multiples of 16, to a raw file.
// Results are FFmpeg error codes: negative is failure, AVERROR_EOF is the end of input.

#include <cstdint>
#include <cstdio>

struct AVFormatContext;
struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct AVPacket;
struct SwsContext;

struct VideoDecoder
{
    AVFormatContext *inputContext;
    AVCodecContext *codecContext;
    AVFilterContext *sinkFilter;
    AVFilterContext *sourceFilter;
    AVFilterGraph *filterGraph;
    int videoStreamIndex;

    // Working state of the decode loop; released by decoderClose.
    AVPacket *packet;        // packet read last, handed to the codec
    AVFrame *frame;          // picture the codec delivered last
    AVFrame *converted;      // the same picture in 8-bit planar 4:2:0, for other formats
    SwsContext *scaler;      // converter into `converted`, rebuilt when the input changes
    bool draining;           // end of input reached; pictures held by the codec are drained
};

struct FrameInfo
{
    uint8_t *planes[4];      // borrowed: valid until the next decoderNextFrame/decoderClose
    int strides[4];
    int width;
    int height;
    int chromaWidth;
    int chromaHeight;
    int lumaPadWidth;
    int lumaPadHeight;
    int chromaPadWidth;
    int chromaPadHeight;
    int lumaBitDepth;        // set only for raw inputs described by the user
    int chromaBitDepth;
    int pixelFormat;         // AVPixelFormat code of the planes
};

VideoDecoder *decoderCreate();
int decoderOpen(VideoDecoder *decoder, const char *path);
bool decoderIsOpen(const VideoDecoder *decoder);
int decoderNextFrame(VideoDecoder *decoder, FrameInfo *info);
// Returns the bytes known to have reached the stream; anything less than frameByteSize(info)
// is a failed write (the stream's error indicator is then set as well).
int64_t writeFrame(const FrameInfo *info, FILE *file);
// The number of bytes writeFrame writes for this picture when nothing fails.
int64_t frameByteSize(const FrameInfo *info);
void decoderClose(VideoDecoder *decoder);
void decoderDestroy(VideoDecoder **decoder);

#endif // VIDEODECODER_H
