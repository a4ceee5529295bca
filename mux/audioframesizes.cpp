#include "audioframesizes.h"

#include "fileurl.h"

#include "bitstream/avresources.h"

#include <vector>

using namespace AvResources;

namespace {

// A stream that has not started within this many packets of the input is left to the muxer.
constexpr int kPacketsRead = 2000;

} // namespace

QHash<int, int> AudioFrameSizes::read(const QString &input, const QList<int> &streams, unsigned streamCount)
{
    QHash<int, int> sizes;
    AVFormatContext *context = nullptr;
    if (streams.isEmpty() || avformat_open_input(&context, fileUrl(input).constData(), nullptr, nullptr) < 0)
        return sizes;
    InputPtr file(context);
    if (avformat_find_stream_info(context, nullptr) < 0 || context->nb_streams != streamCount)
        return sizes;
    std::vector<CodecPtr> decoders(context->nb_streams);
    int open = 0;
    for (const int index : streams) {
        if (index < 0 || unsigned(index) >= context->nb_streams)
            continue;
        const AVCodecParameters *parameters = context->streams[index]->codecpar;
        const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
        CodecPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
            continue;
        decoder->pkt_timebase = context->streams[index]->time_base;
        if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
            continue;
        decoders[size_t(index)] = std::move(decoder);
        ++open;
    }
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    for (int read = 0; packet && frame && open > 0 && read < kPacketsRead; ++read) {
        if (av_read_frame(context, packet.get()) < 0)
            break;
        const size_t index = size_t(packet->stream_index);
        AVCodecContext *decoder = index < decoders.size() ? decoders[index].get() : nullptr;
        if (decoder && avcodec_send_packet(decoder, packet.get()) >= 0
            && avcodec_receive_frame(decoder, frame.get()) >= 0 && frame->nb_samples > 0) {
            sizes.insert(int(index), frame->nb_samples);
            decoders[index].reset();
            --open;
        }
        av_frame_unref(frame.get());
        av_packet_unref(packet.get());
    }
    return sizes;
}
