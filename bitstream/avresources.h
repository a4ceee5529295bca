#ifndef AVRESOURCES_H
#define AVRESOURCES_H

// Owners for the FFmpeg objects the rewrite and the mux make, each freed on every path by its own
// free function, and FFmpeg's error codes as text.

#include "avfilterlibrary.h"

#include <QString>

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace AvResources {

inline QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE];
    if (av_strerror(code, text, sizeof text) < 0)
        return QStringLiteral("error %1").arg(code);
    return QString::fromLocal8Bit(text);
}

struct InputDeleter
{
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct CodecDeleter
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct PacketDeleter
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct GraphDeleter
{
    void operator()(AVFilterGraph *graph) const { AvFilterLibrary::freeGraph(&graph); }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphDeleter>;

} // namespace AvResources

#endif // AVRESOURCES_H
