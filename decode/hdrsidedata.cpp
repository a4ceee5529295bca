#include "hdrsidedata.h"

#include "videodecoder.h"

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/mathematics.h>
}

namespace {

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

void HdrSideData::takeFromStream(const AVStream *stream, HdrMetadata *hdr)
{
    takeMasteringDisplay(reinterpret_cast<const AVMasteringDisplayMetadata *>(streamSideData(
                             stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof(AVMasteringDisplayMetadata))),
                         hdr);
    takeLightLevel(reinterpret_cast<const AVContentLightMetadata *>(streamSideData(
                       stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof(AVContentLightMetadata))),
                   hdr);
}

void HdrSideData::takeFromPicture(const AVFrame *frame, HdrMetadata *hdr)
{
    const AVFrameSideData *display = av_frame_get_side_data(frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    if (display && display->size >= sizeof(AVMasteringDisplayMetadata))
        takeMasteringDisplay(reinterpret_cast<const AVMasteringDisplayMetadata *>(display->data), hdr);
    const AVFrameSideData *light = av_frame_get_side_data(frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    if (light && light->size >= sizeof(AVContentLightMetadata))
        takeLightLevel(reinterpret_cast<const AVContentLightMetadata *>(light->data), hdr);
}
