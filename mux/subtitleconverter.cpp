#include "subtitleconverter.h"

#include <cstring>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

// A subtitle's encoded form is a few lines of text; this is far more than any needs.
constexpr size_t kLargestSubtitle = 1 << 20;

struct SubtitleHolder
{
    AVSubtitle subtitle = {};
    ~SubtitleHolder() { avsubtitle_free(&subtitle); }
};

} // namespace

bool SubtitleConverter::open(const AVCodecParameters *input, AVRational timeBase, int target)
{
    packetTimeBase = timeBase;
    const AVCodec *decoder = avcodec_find_decoder(input->codec_id);
    const AVCodec *encoder = avcodec_find_encoder(static_cast<AVCodecID>(target));
    if (!decoder || !encoder) {
        problem = QStringLiteral("this FFmpeg has no %1 for it")
                      .arg(QLatin1String(decoder ? "encoder" : "decoder"));
        return false;
    }
    decoding.reset(avcodec_alloc_context3(decoder));
    encoding.reset(avcodec_alloc_context3(encoder));
    if (!decoding || !encoding) {
        problem = AvResources::errorText(AVERROR(ENOMEM));
        return false;
    }
    int ret = avcodec_parameters_to_context(decoding.get(), input);
    if (ret >= 0) {
        decoding->pkt_timebase = timeBase;
        ret = avcodec_open2(decoding.get(), decoder, nullptr);
    }
    if (ret < 0) {
        problem = QStringLiteral("its decoder does not start (%1)").arg(AvResources::errorText(ret));
        return false;
    }
    // The styles the decoder describes its lines with go to the encoder, which needs them.
    if (decoding->subtitle_header && decoding->subtitle_header_size > 0) {
        encoding->subtitle_header = static_cast<uint8_t *>(av_mallocz(size_t(decoding->subtitle_header_size) + 1));
        if (!encoding->subtitle_header) {
            problem = AvResources::errorText(AVERROR(ENOMEM));
            return false;
        }
        std::memcpy(encoding->subtitle_header, decoding->subtitle_header, size_t(decoding->subtitle_header_size));
        encoding->subtitle_header_size = decoding->subtitle_header_size;
    }
    encoding->time_base = AV_TIME_BASE_Q;
    ret = avcodec_open2(encoding.get(), encoder, nullptr);
    if (ret < 0) {
        problem = QStringLiteral("the %1 encoder does not start (%2)")
                      .arg(QLatin1String(encoder->name), AvResources::errorText(ret));
        return false;
    }
    buffer.resize(kLargestSubtitle);
    return true;
}

bool SubtitleConverter::convert(const AVPacket *packet, AVPacket *out, bool *produced)
{
    *produced = false;
    SubtitleHolder holder;
    AVSubtitle &subtitle = holder.subtitle;
    int got = 0;
    int ret = avcodec_decode_subtitle2(decoding.get(), &subtitle, &got, const_cast<AVPacket *>(packet));
    // A damaged line is left out as a player would leave it out.
    if (ret == AVERROR_INVALIDDATA || !got || subtitle.num_rects == 0)
        return true;
    if (ret < 0) {
        problem = QStringLiteral("decoding failed (%1)").arg(AvResources::errorText(ret));
        return false;
    }
    const AVRational milliseconds{1, 1000};
    const uint32_t start = subtitle.start_display_time;
    int64_t duration = packet->duration;
    if (subtitle.end_display_time > start && subtitle.end_display_time != UINT32_MAX)
        duration = av_rescale_q(subtitle.end_display_time - start, milliseconds, packetTimeBase);
    // The encoder wants the line to start at its own time.
    subtitle.end_display_time -= qMin(start, subtitle.end_display_time);
    subtitle.start_display_time = 0;

    ret = avcodec_encode_subtitle(encoding.get(), buffer.data(), int(buffer.size()), &subtitle);
    if (ret < 0) {
        problem = QStringLiteral("encoding failed (%1)").arg(AvResources::errorText(ret));
        return false;
    }
    if (ret == 0)
        return true;
    ret = av_new_packet(out, ret);
    if (ret < 0) {
        problem = AvResources::errorText(ret);
        return false;
    }
    std::memcpy(out->data, buffer.data(), size_t(out->size));
    const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    out->pts = out->dts = pts == AV_NOPTS_VALUE ? pts : pts + av_rescale_q(start, milliseconds, packetTimeBase);
    out->duration = duration;
    out->flags = AV_PKT_FLAG_KEY;
    *produced = true;
    return true;
}
