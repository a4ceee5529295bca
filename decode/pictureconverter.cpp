#include "pictureconverter.h"

#include "planarlayout.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

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

} // namespace

int PictureConverter::convert(const AVFrame *source, const PlanarLayout &layout, int shift,
                              AVFrame **converted, SwsContext **cachedScaler)
{
    AVFrame *target = *converted;
    if (!target) {
        target = *converted = av_frame_alloc();
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
    SwsContext *scaler = sws_getCachedContext(*cachedScaler, source->width, source->height,
                                              static_cast<AVPixelFormat>(source->format),
                                              target->width, target->height, layout.format,
                                              SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler)
        return AVERROR(EINVAL);
    *cachedScaler = scaler;

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
