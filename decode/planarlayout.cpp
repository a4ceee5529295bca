#include "planarlayout.h"

#include "videodecoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

int roundUp16(int value)
{
    return (value + 15) & ~15;
}

} // namespace

bool PlanarLayout::kept(int format, PlanarLayout *layout)
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

int PlanarLayout::chromaIndex(int chromaFormat)
{
    switch (chromaFormat) {
    case 400: return 0;
    case 420: return 1;
    case 422: return 2;
    case 444: return 3;
    default: return -1;
    }
}

// Depths without a format of their own (11, 13, 15) are made at 16 bits first. 4:0:0 is the
// luma of 4:2:0: libswscale takes gray formats for full range, while 4:0:0 luma keeps the
// range it has.
PlanarLayout PlanarLayout::output(int depth, int chromaFormat, int *shift)
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

int PlanarLayout::limitedTwin(int format)
{
    PlanarLayout layout;
    return kept(format, &layout) ? layout.format : format;
}

void PlanarLayout::describe(const AVFrame *frame, FrameInfo *info) const
{
    for (int plane = 0; plane < 4; ++plane) {
        info->planes[plane] = frame->data[plane];
        info->strides[plane] = frame->linesize[plane];
    }
    info->width = frame->width;
    info->height = frame->height;
    info->pixelFormat = format;

    const int paddedWidth = roundUp16(frame->width);
    const int paddedHeight = roundUp16(frame->height);
    info->lumaPadWidth = paddedWidth - frame->width;
    info->lumaPadHeight = paddedHeight - frame->height;
    if (horizontal == 0) {
        info->chromaWidth = info->chromaHeight = info->chromaPadWidth = info->chromaPadHeight = 0;
        return;
    }
    info->chromaWidth = frame->width / horizontal;
    info->chromaHeight = frame->height / vertical;
    info->chromaPadWidth = paddedWidth / horizontal - info->chromaWidth;
    info->chromaPadHeight = paddedHeight / vertical - info->chromaHeight;
}
