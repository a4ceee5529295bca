#include "seamproof.h"

#include "picturedigest.h"

#include "bitstream/avresources.h"
#include "bitstream/librarylog.h"

#include <QFile>
#include <QStringList>

#include <cstring>

namespace {

struct Decoded
{
    QByteArray digest;
    QString error;
};

// Sends the bytes as one packet, then the end, and digests the picture that comes out.
Decoded decodePacket(const QByteArray &bytes)
{
    Decoded decoded;
    QStringList said;
    const LibraryLog::Scope scope([&said](const QString &line) { said << line; });
    const auto failed = [&](int status) {
        decoded.error = said.isEmpty() ? AvResources::errorText(status) : said.last();
        return decoded;
    };
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AvResources::CodecPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    AvResources::PacketPtr packet(av_packet_alloc());
    AvResources::FramePtr frame(av_frame_alloc());
    if (!context || !packet || !frame) {
        decoded.error = QStringLiteral("FFmpeg has no HEVC decoder");
        return decoded;
    }
    context->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
    context->thread_count = 1;
    context->pkt_timebase = AVRational{1, 1};
    int status = avcodec_open2(context.get(), codec, nullptr);
    if (status >= 0)
        status = av_new_packet(packet.get(), int(bytes.size()));
    if (status < 0)
        return failed(status);
    std::memcpy(packet->data, bytes.constData(), size_t(bytes.size()));
    status = avcodec_send_packet(context.get(), packet.get());
    if (status >= 0)
        status = avcodec_send_packet(context.get(), nullptr);
    while (status >= 0 && decoded.digest.isEmpty()) {
        status = avcodec_receive_frame(context.get(), frame.get());
        if (status >= 0) {
            decoded.digest = PictureDigest::of(frame.get());
            av_frame_unref(frame.get());
        }
    }
    if (decoded.digest.isEmpty())
        return failed(status == AVERROR_EOF ? AVERROR_INVALIDDATA : status);
    return decoded;
}

Decoded decodeAlone(const SeamProof::Copy &copy)
{
    QFile file(copy.path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(copy.start)) {
        Decoded unread;
        unread.error = file.errorString();
        return unread;
    }
    const QByteArray unit = file.read(copy.end - copy.start);
    if (unit.size() != copy.end - copy.start) {
        Decoded unread;
        unread.error = QStringLiteral("it changed while being read");
        return unread;
    }
    return decodePacket(copy.sets + unit);
}

} // namespace

QString SeamProof::problem(const Copy &earlier, const Copy &later, const std::atomic_bool *stop)
{
    // The first byte of the hash is its kind; hashes of one kind say it all.
    if (!earlier.hash.isEmpty() && !later.hash.isEmpty() && earlier.hash.at(0) == later.hash.at(0)) {
        if (earlier.hash == later.hash)
            return QString();
        return QStringLiteral("the decoded picture hashes of its two copies differ");
    }
    const Decoded first = decodeAlone(earlier);
    if (stop && *stop)
        return QStringLiteral("stopped");
    if (!first.error.isEmpty())
        return QStringLiteral("the earlier segment's copy does not decode on its own: %1").arg(first.error);
    const Decoded second = decodeAlone(later);
    if (!second.error.isEmpty())
        return QStringLiteral("the later segment's copy does not decode on its own: %1").arg(second.error);
    if (first.digest != second.digest)
        return QStringLiteral("its two copies decode to different pictures");
    return QString();
}
