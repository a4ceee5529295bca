#include "hevcdecoder.h"

#include <cstring>

HevcDecoder::HevcDecoder(const Setup &setup)
    : scope([this](const QString &line) { said << line; })
    , filling(setup.filling)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AvResources::CodecPtr opened(codec ? avcodec_alloc_context3(codec) : nullptr);
    packet.reset(av_packet_alloc());
    frame.reset(av_frame_alloc());
    if (!opened || !packet || !frame) {
        problem = QStringLiteral("FFmpeg has no HEVC decoder");
        return;
    }
    opened->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER
                              | (setup.libraryHashCheck ? AV_EF_CRCCHECK : 0);
    opened->thread_count = 1;
    opened->pkt_timebase = AVRational{1, 1};
    if (setup.uncropped)
        opened->apply_cropping = 0;
    if (filling >= 0) {
        opened->opaque = &filling;
        opened->get_buffer2 = filledBuffer;
    }
    const int status = avcodec_open2(opened.get(), codec, nullptr);
    if (status < 0) {
        problem = AvResources::errorText(status);
        return;
    }
    context = std::move(opened);
}

int HevcDecoder::filledBuffer(AVCodecContext *context, AVFrame *frame, int flags)
{
    const int result = avcodec_default_get_buffer2(context, frame, flags);
    if (result < 0)
        return result;
    const int filling = *static_cast<const int *>(context->opaque);
    for (AVBufferRef *buffer : frame->buf)
        if (buffer)
            std::memset(buffer->data, filling, buffer->size);
    return 0;
}

bool HevcDecoder::fail(int status)
{
    problem = said.isEmpty() ? AvResources::errorText(status) : said.last();
    return false;
}

bool HevcDecoder::send(const QByteArray &bytes, qint64 number, const Take &take)
{
    if (!context)
        return false;
    int status = bytes.isEmpty() ? AVERROR(EIO) : av_new_packet(packet.get(), int(bytes.size()));
    if (status < 0)
        return fail(status);
    std::memcpy(packet->data, bytes.constData(), size_t(bytes.size()));
    packet->pts = number;
    const bool fed = feed(packet.get(), take);
    av_packet_unref(packet.get());
    return fed;
}

bool HevcDecoder::flush(const Take &take)
{
    return context && feed(nullptr, take);
}

// A decoder that wants its pictures taken first gets the packet again once they are.
bool HevcDecoder::feed(const AVPacket *sent, const Take &take)
{
    for (int attempt = 0;; ++attempt) {
        const int status = avcodec_send_packet(context.get(), sent);
        if (status != AVERROR(EAGAIN) || attempt > 0) {
            const int received = status < 0 ? status : receive(take);
            return received < 0 ? fail(received) : true;
        }
        const int taken = receive(take);
        if (taken < 0)
            return fail(taken);
    }
}

int HevcDecoder::receive(const Take &take)
{
    for (;;) {
        const int received = avcodec_receive_frame(context.get(), frame.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return 0;
        if (received < 0)
            return received;
        take(frame.get());
        av_frame_unref(frame.get());
    }
}
