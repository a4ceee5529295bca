#include "picturecount.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct InputCloser
{
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};

struct PacketFreer
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

int stopRequested(void *opaque)
{
    const auto *stop = static_cast<const std::atomic_bool *>(opaque);
    return stop && *stop ? 1 : 0;
}

} // namespace

PictureCount countPictures(const char *path, std::atomic<int64_t> *counted, const std::atomic_bool *stop)
{
    PictureCount result;
    AVFormatContext *opened = avformat_alloc_context();
    if (!opened) {
        result.error = AVERROR(ENOMEM);
        return result;
    }
    opened->interrupt_callback.callback = stopRequested;
    opened->interrupt_callback.opaque = const_cast<std::atomic_bool *>(stop);
    int ret = avformat_open_input(&opened, path, nullptr, nullptr);
    std::unique_ptr<AVFormatContext, InputCloser> input(ret >= 0 ? opened : nullptr);
    if (ret >= 0)
        ret = avformat_find_stream_info(input.get(), nullptr);
    // The stream the decoder picks: the best video stream with a decoder.
    const AVCodec *codec = nullptr;
    if (ret >= 0)
        ret = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (ret >= 0 && !packet)
        ret = AVERROR(ENOMEM);
    if (ret < 0) {
        result.error = ret;
        return result;
    }
    const int video = ret;
    // The other streams' packets are not wanted: the demuxer may skip what it can of them.
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (int(i) != video)
            input->streams[i]->discard = AVDISCARD_ALL;
    bool timed = true;
    while ((ret = av_read_frame(input.get(), packet.get())) >= 0) {
        if (packet->stream_index == video && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
            ++result.pictures;
            timed = timed && packet->pts != AV_NOPTS_VALUE;
            if (timed)
                result.times.push_back(packet->pts);
            if (counted && result.pictures % 64 == 0)
                *counted = result.pictures;
        }
        av_packet_unref(packet.get());
    }
    if (ret != AVERROR_EOF) {
        result.error = ret;
        return result;
    }
    if (counted)
        *counted = result.pictures;
    std::sort(result.times.begin(), result.times.end());
    if (!timed || std::adjacent_find(result.times.begin(), result.times.end()) != result.times.end())
        result.times.clear();
    return result;
}
