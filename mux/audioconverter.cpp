#include "audioconverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

namespace {

// A layout as the filters' options spell it: a mask of channels in their native order.
QByteArray layoutOption(const AVChannelLayout &layout)
{
    AVChannelLayout native = {};
    if (layout.order == AV_CHANNEL_ORDER_NATIVE)
        av_channel_layout_copy(&native, &layout);
    else
        av_channel_layout_default(&native, layout.nb_channels);
    const QByteArray text = "0x" + QByteArray::number(qulonglong(native.u.mask), 16);
    av_channel_layout_uninit(&native);
    return text;
}

// The encoder's layout closest to the input's: the same, else one with as many channels, else
// stereo (the filters mix down).
void chooseLayout(const AVCodec *codec, const AVChannelLayout &input, AVChannelLayout *chosen)
{
    AVChannelLayout wanted = {};
    if (input.order == AV_CHANNEL_ORDER_NATIVE)
        av_channel_layout_copy(&wanted, &input);
    else
        av_channel_layout_default(&wanted, input.nb_channels);
    const AVChannelLayout *match = nullptr;
    for (const AVChannelLayout *layout = codec->ch_layouts; layout && layout->nb_channels; ++layout) {
        if (av_channel_layout_compare(layout, &wanted) == 0) {
            match = layout;
            break;
        }
        if (!match && layout->nb_channels == wanted.nb_channels)
            match = layout;
    }
    if (match) {
        av_channel_layout_copy(chosen, match);
    } else if (!codec->ch_layouts) {
        av_channel_layout_copy(chosen, &wanted);
    } else {
        const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        av_channel_layout_copy(chosen, &stereo);
    }
    av_channel_layout_uninit(&wanted);
}

// The input's rate where the encoder has it, else 48 kHz.
int chooseRate(const AVCodec *codec, int input)
{
    if (!codec->supported_samplerates)
        return input > 0 ? input : 48000;
    for (const int *rate = codec->supported_samplerates; *rate; ++rate)
        if (*rate == input)
            return input;
    return 48000;
}

} // namespace

bool AudioConverter::fail(const QString &what, int code)
{
    problem = code < 0 ? QStringLiteral("%1 (%2)").arg(what, AvResources::errorText(code)) : what;
    return false;
}

bool AudioConverter::open(const AVCodecParameters *input, AVRational timeBase, bool globalHeader)
{
    if (!decoded || !filtered || !encoded)
        return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    packetTimeBase = timeBase;
    const AVCodec *decoder = avcodec_find_decoder(input->codec_id);
    if (!decoder)
        return fail(QStringLiteral("this FFmpeg has no decoder for %1").arg(QLatin1String(avcodec_get_name(input->codec_id))), 0);
    decoding.reset(avcodec_alloc_context3(decoder));
    if (!decoding)
        return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    int ret = avcodec_parameters_to_context(decoding.get(), input);
    if (ret >= 0) {
        decoding->pkt_timebase = timeBase;
        ret = avcodec_open2(decoding.get(), decoder, nullptr);
    }
    if (ret < 0)
        return fail(QStringLiteral("its decoder does not start"), ret);

    const AVCodec *aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac)
        return fail(QStringLiteral("this FFmpeg has no AAC encoder"), 0);
    encoding.reset(avcodec_alloc_context3(aac));
    if (!encoding)
        return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    encoding->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoding->sample_rate = chooseRate(aac, input->sample_rate);
    chooseLayout(aac, input->ch_layout, &encoding->ch_layout);
    encoding->bit_rate = qMax(96000, 64000 * encoding->ch_layout.nb_channels);
    encoding->time_base = AVRational{1, encoding->sample_rate};
    if (globalHeader)
        encoding->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ret = avcodec_open2(encoding.get(), aac, nullptr);
    if (ret < 0)
        return fail(QStringLiteral("the AAC encoder does not start"), ret);
    return true;
}

// The filters are set up for the first decoded frame, whose format is what the decoder really
// gives (some decoders know it only then).
bool AudioConverter::buildGraph(const AVFrame *frame)
{
    QString unloaded;
    filters = AvFilterLibrary::calls(&unloaded);
    if (!filters)
        return fail(QStringLiteral("the samples cannot be brought to AAC's format: %1").arg(unloaded), 0);
    graph.reset(filters->graph_alloc());
    if (!graph)
        return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
    const char *format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
    const QByteArray sourceArguments =
        QStringLiteral("time_base=1/%1:sample_rate=%1:sample_fmt=%2:channel_layout=%3")
            .arg(frame->sample_rate)
            .arg(QLatin1String(format ? format : "none"), QLatin1String(layoutOption(frame->ch_layout)))
            .toLatin1();
    int ret = filters->graph_create_filter(&source, filters->get_by_name("abuffer"), "in",
                                           sourceArguments.constData(), nullptr, graph.get());
    if (ret < 0)
        return fail(QStringLiteral("the decoded samples cannot be filtered"), ret);
    const QByteArray formatArguments =
        QStringLiteral("sample_fmts=fltp:sample_rates=%1:channel_layouts=%2")
            .arg(encoding->sample_rate)
            .arg(QLatin1String(layoutOption(encoding->ch_layout)))
            .toLatin1();
    AVFilterContext *conversion = nullptr;
    ret = filters->graph_create_filter(&conversion, filters->get_by_name("aformat"), "format",
                                       formatArguments.constData(), nullptr, graph.get());
    if (ret >= 0)
        ret = filters->graph_create_filter(&sink, filters->get_by_name("abuffersink"), "out", nullptr,
                                           nullptr, graph.get());
    if (ret >= 0)
        ret = filters->link(source, 0, conversion, 0);
    if (ret >= 0)
        ret = filters->link(conversion, 0, sink, 0);
    if (ret >= 0)
        ret = filters->graph_config(graph.get(), nullptr);
    if (ret < 0)
        return fail(QStringLiteral("the samples cannot be brought to AAC's format"), ret);
    if (encoding->frame_size > 0 && !(encoding->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
        filters->buffersink_set_frame_size(sink, unsigned(encoding->frame_size));
    return true;
}

bool AudioConverter::drainEncoder(const std::function<bool(AVPacket *)> &deliver)
{
    for (;;) {
        const int ret = avcodec_receive_packet(encoding.get(), encoded.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return true;
        if (ret < 0)
            return fail(QStringLiteral("AAC encoding failed"), ret);
        const bool more = deliver(encoded.get());
        av_packet_unref(encoded.get());
        if (!more)
            return false;
    }
}

// frame: decoded samples with their time in 1/sample rate, or nullptr at the end.
bool AudioConverter::filterAndEncode(AVFrame *frame, const std::function<bool(AVPacket *)> &deliver)
{
    if (!graph && !frame)
        return true;   // nothing was ever decoded
    if (!graph && !buildGraph(frame))
        return false;
    int ret = filters->buffersrc_add_frame(source, frame);
    if (ret < 0)
        return fail(QStringLiteral("the decoded samples cannot be filtered"), ret);
    for (;;) {
        ret = filters->buffersink_get_frame(sink, filtered.get());
        if (ret == AVERROR(EAGAIN))
            return true;
        if (ret == AVERROR_EOF) {
            ret = avcodec_send_frame(encoding.get(), nullptr);
            if (ret < 0 && ret != AVERROR_EOF)
                return fail(QStringLiteral("AAC encoding failed"), ret);
            return drainEncoder(deliver);
        }
        if (ret < 0)
            return fail(QStringLiteral("the samples cannot be brought to AAC's format"), ret);
        ret = avcodec_send_frame(encoding.get(), filtered.get());
        av_frame_unref(filtered.get());
        if (ret < 0)
            return fail(QStringLiteral("AAC encoding failed"), ret);
        if (!drainEncoder(deliver))
            return false;
    }
}

bool AudioConverter::convert(const AVPacket *packet, const std::function<bool(AVPacket *)> &deliver)
{
    int ret = avcodec_send_packet(decoding.get(), packet);
    // A damaged packet is skipped as a player would; the timestamps of the others hold.
    if (ret < 0 && ret != AVERROR_INVALIDDATA && ret != AVERROR_EOF)
        return fail(QStringLiteral("decoding failed"), ret);
    for (;;) {
        ret = avcodec_receive_frame(decoding.get(), decoded.get());
        if (ret == AVERROR(EAGAIN))
            return true;
        if (ret == AVERROR_EOF)
            return filterAndEncode(nullptr, deliver);
        if (ret == AVERROR_INVALIDDATA)
            continue;
        if (ret < 0)
            return fail(QStringLiteral("decoding failed"), ret);
        AVFrame *frame = decoded.get();
        const AVRational sampleTime{1, frame->sample_rate};
        if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
            frame->pts = av_rescale_q(frame->best_effort_timestamp, packetTimeBase, sampleTime);
        else
            frame->pts = nextPts;
        if (frame->pts != AV_NOPTS_VALUE)
            nextPts = frame->pts + frame->nb_samples;
        const bool ok = filterAndEncode(frame, deliver);
        av_frame_unref(frame);
        if (!ok)
            return false;
    }
}
