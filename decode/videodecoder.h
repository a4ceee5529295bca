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
struct AVIOContext;
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

    bool only420;            // deliver every picture as 8-bit planar 4:2:0 (decoderForce420)
    bool lastConverted;      // the picture delivered last was converted
    int (*interrupt)(void *); // asked while waiting on a pipe; non-zero ends the wait
    void *interruptOpaque;
    AVIOContext *pipeIo;     // reader of an input that is a named pipe
    int pipeFd;              // -1 when the input is not a named pipe
};

// What the container and the codec say about the video stream, for the output's parameter
// sets and the progress. Colour codes use the ITU-T H.273 numbering (2 = unspecified).
struct StreamInfo
{
    int64_t pictureCount;    // the stream's count, else duration x frame rate; 0 when unknown
    int frameRateNum;        // the stream's average rate, else its real rate; 0 when unknown
    int frameRateDen;
    int sarNum;              // sample aspect ratio; 0 when unknown
    int sarDen;
    bool fullRange;          // samples use the full range (JPEG formats, or signalled so)
    int colourPrimaries;
    int transferCharacteristics;
    int matrixCoefficients;
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
// Makes decoderNextFrame deliver 8-bit planar 4:2:0 for every source format, 4:2:2 and 4:4:4
// included (they are kept as they are otherwise).
void decoderForce420(VideoDecoder *decoder, bool force);
// A callback asked while the decoder waits for input that is not there yet (a named pipe
// whose writer is slow); a non-zero answer ends the wait with AVERROR_EXIT. Set it before
// decoderOpen.
void decoderSetInterrupt(VideoDecoder *decoder, int (*callback)(void *), void *opaque);
int decoderStreamInfo(const VideoDecoder *decoder, StreamInfo *info);
// Whether the picture delivered last holds full-range samples as delivered (a converted
// picture is always brought to the limited range).
bool decoderPictureIsFullRange(const VideoDecoder *decoder);
// The time of the picture delivered last, in units of the stream's time base (the container's
// timestamp, else the decoder's best guess; INT64_MIN when there is none), and how long it is
// shown (0 when not known).
int64_t decoderPictureTime(const VideoDecoder *decoder, int64_t *duration);
// The video stream's time base as a fraction of a second; false when the decoder is not open.
bool decoderTimeBase(const VideoDecoder *decoder, int *num, int *den);
// Moves on so that the next picture delivered is picture number `index` (0 is the first).
int decoderSkipTo(VideoDecoder *decoder, int64_t index);
bool decoderIsOpen(const VideoDecoder *decoder);
int decoderNextFrame(VideoDecoder *decoder, FrameInfo *info);
// Returns the bytes known to have reached the stream; anything less than frameByteSize(info)
// is a failed write (the stream's error indicator is then set as well).
int64_t writeFrame(const FrameInfo *info, FILE *file);
// Lays the picture out in buffer (frameByteSize(info) bytes) exactly as writeFrame writes it;
// returns the number of bytes laid out.
int64_t packFrame(const FrameInfo *info, uint8_t *buffer);
// The number of bytes writeFrame writes for this picture when nothing fails.
int64_t frameByteSize(const FrameInfo *info);
void decoderClose(VideoDecoder *decoder);
void decoderDestroy(VideoDecoder **decoder);

#endif // VIDEODECODER_H
