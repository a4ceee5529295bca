#include "videodecoder.h"

// Placeholder until the decoder lands: every open fails.
#include <cstdlib>

extern "C" {
#include <libavutil/error.h>
}

VideoDecoder *decoderCreate()
{
    VideoDecoder *decoder = static_cast<VideoDecoder *>(calloc(1, sizeof(VideoDecoder)));
    decoder->videoStreamIndex = -1;
    return decoder;
}

int decoderOpen(VideoDecoder *decoder, const char *)
{
    decoder->videoStreamIndex = -1;
    return AVERROR(ENOSYS);
}

bool decoderIsOpen(const VideoDecoder *decoder)
{
    return decoder && decoder->videoStreamIndex >= 0;
}

int decoderNextFrame(VideoDecoder *, FrameInfo *)
{
    return AVERROR_EOF;
}

int64_t writeFrame(const FrameInfo *, FILE *)
{
    return 0;
}

int64_t frameByteSize(const FrameInfo *)
{
    return 0;
}

void decoderClose(VideoDecoder *decoder)
{
    if (decoder)
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
