#ifndef VIDEODECODER_H
#define VIDEODECODER_H

// Procedural video decoder: opens any input FFmpeg can read, delivers its pictures one by
// one as planar YUV and writes them, padded to multiples of 16, to a raw file. Samples of more
// than 8 bits take two bytes each, little-endian, in the low bits.
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
    AVFrame *converted;      // the same picture in the output format, for other formats
    SwsContext *scaler;      // converter into `converted`, rebuilt when the input changes
    bool draining;           // end of input reached; pictures held by the codec are drained

    int outputDepth;         // 0: 8-bit 4:2:0, 4:2:2 and 4:4:4 kept, anything else 8-bit
    int outputChroma;        // 4:2:0; else every picture in this depth and chroma format
    bool lastConverted;      // the picture delivered last was converted
    int (*interrupt)(void *); // asked while waiting on a pipe; non-zero ends the wait
    void *interruptOpaque;
    AVIOContext *pipeIo;     // reader of an input that is a named pipe
    int pipeFd;              // -1 when the input is not a named pipe
    int64_t nextPicture;     // number of the picture delivered next (0 is the input's first)
};

// Static HDR metadata, in the units of the SEI messages that carry it in HEVC: chromaticities
// in steps of 0.00002, luminance in steps of 0.0001 cd/m2, the primaries in the order green,
// blue, red.
struct HdrMetadata
{
    bool hasMasteringDisplay;
    uint16_t primariesX[3];
    uint16_t primariesY[3];
    uint16_t whitePointX;
    uint16_t whitePointY;
    uint32_t maxLuminance;
    uint32_t minLuminance;
    bool hasLightLevel;
    uint16_t maxContentLight;       // cd/m2
    uint16_t maxFrameAverageLight;  // cd/m2
};

// What the container and the codec say about the video stream, for the output's parameter
// sets and the progress. Colour codes use the ITU-T H.273 numbering (2 = unspecified).
struct StreamInfo
{
    int64_t pictureCount;    // the stream's count, else duration x frame rate; 0 when unknown
    bool pictureCountDeclared; // pictureCount is the count the container declares, not an estimate
    int frameRateNum;        // the stream's average rate, else its real rate; 0 when unknown
    int frameRateDen;
    int sarNum;              // sample aspect ratio; 0 when unknown
    int sarDen;
    bool fullRange;          // samples use the full range (JPEG formats, or signalled so)
    int colourPrimaries;
    int transferCharacteristics;
    int matrixCoefficients;
    int bitDepth;            // bits a sample of the stream's pictures; 0 when unknown
    HdrMetadata hdr;
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
    int pixelFormat;         // AVPixelFormat code of the planes; above 8 bits, two bytes a sample
};

// From now on, for the whole process, the decoder's own error lines ("Error occurred: ...",
// standard error otherwise) go to FFmpeg's logger at the error level, as "Error decoding video"
// does: a program that takes that logger over (a job's log) then gets every decoder line.
void decoderErrorsToLogger();
VideoDecoder *decoderCreate();
int decoderOpen(VideoDecoder *decoder, const char *path);
// Makes decoderNextFrame deliver 8-bit planar 4:2:0 for every source format, 4:2:2 and 4:4:4
// included (they are kept as they are otherwise).
void decoderForce420(VideoDecoder *decoder, bool force);
// Makes decoderNextFrame deliver every picture with this many bits a sample (8 to 16) in this
// chroma format (400, 420, 422 or 444), converting where the source differs; AVERROR(EINVAL)
// for anything else, which leaves the setting as it was.
int decoderSetOutputFormat(VideoDecoder *decoder, int bitDepth, int chromaFormat);
// A callback asked while the decoder waits for input that is not there yet (a named pipe
// whose writer is slow); a non-zero answer ends the wait with AVERROR_EXIT. Set it before
// decoderOpen.
void decoderSetInterrupt(VideoDecoder *decoder, int (*callback)(void *), void *opaque);
int decoderStreamInfo(const VideoDecoder *decoder, StreamInfo *info);
// Whether the picture delivered last holds full-range samples as delivered (a converted
// picture is always brought to the limited range).
bool decoderPictureIsFullRange(const VideoDecoder *decoder);
// Fills in what *hdr lacks from the side data of the picture delivered last (an input whose
// container says nothing may carry its HDR metadata in the pictures' own SEI messages).
void decoderPictureHdr(const VideoDecoder *decoder, HdrMetadata *hdr);
// The time of the picture delivered last, in units of the stream's time base (the container's
// timestamp, else the decoder's best guess; INT64_MIN when there is none), and how long it is
// shown (0 when not known).
int64_t decoderPictureTime(const VideoDecoder *decoder, int64_t *duration);
// The video stream's time base as a fraction of a second; false when the decoder is not open.
bool decoderTimeBase(const VideoDecoder *decoder, int *num, int *den);
// Moves on so that the next picture delivered is picture number `index` (0 is the first).
// AVERROR_EOF when the input has no such picture; decoderNextPicture then tells how many it has.
int decoderSkipTo(VideoDecoder *decoder, int64_t index);
// As decoderSkipTo, where a count of the stream's packets gave the timestamp of the picture
// before picture `index` (in the stream's time base): a seek to the keyframe before it stands
// in for decoding from the start, whatever the container. Where no picture turns out to have
// that timestamp, the decode starts over from the input's start.
int decoderSkipToTime(VideoDecoder *decoder, int64_t index, int64_t previousTime);
// The number of the picture the next decoderNextFrame delivers; at the end of the input, the
// number of pictures in it.
int64_t decoderNextPicture(const VideoDecoder *decoder);
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
