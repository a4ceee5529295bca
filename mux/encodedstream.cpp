#include "encodedstream.h"

#include "fileurl.h"

#include "bitstream/bytestream.h"
#include "codecs/codecs.h"

#include <QDir>

#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

using namespace AvResources;

namespace {

// Calls visit(header, nal, size) for each NAL unit of an access unit, without the zero bytes
// that precede the next start code.
template <typename Visit>
void forEachNalUnit(const Codec &codec, const char *data, qsizetype size, Visit visit)
{
    const int headerBytes = codec.headerBytes();
    qsizetype at = ByteStream::findNalUnit(data, size, 0);
    while (at >= 0 && at + headerBytes <= size) {
        const qsizetype next = ByteStream::findNalUnit(data, size, at + headerBytes);
        qsizetype end = next < 0 ? size : next - 3;
        while (end > at + headerBytes && data[end - 1] == 0)
            --end;
        visit(codec.header(data + at), data + at, end - at);
        at = next;
    }
}

// The parameter sets that the container's sample description holds.
bool isDescribed(const Codec &codec, int type)
{
    const Codec::Kind kind = codec.kind(type);
    return kind == Codec::Kind::VideoSet || kind == Codec::Kind::SequenceSet || kind == Codec::Kind::PictureSet;
}

// The sample description holds the parameter sets; the samples do without them.
QString dropParameterSets(const Codec &codec, AVPacket *packet)
{
    QByteArray kept;
    forEachNalUnit(codec, reinterpret_cast<const char *>(packet->data), packet->size,
                   [&](const NalHeader &header, const char *nal, qsizetype size) {
                       if (header.layer != 0 || !isDescribed(codec, header.type))
                           kept += QByteArray("\0\0\0\1", 4) + QByteArray::fromRawData(nal, size);
                   });
    AVBufferRef *buffer = av_buffer_alloc(size_t(kept.size()) + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!buffer)
        return errorText(AVERROR(ENOMEM));
    std::memcpy(buffer->data, kept.constData(), size_t(kept.size()));
    std::memset(buffer->data + kept.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_buffer_unref(&packet->buf);
    packet->buf = buffer;
    packet->data = buffer->data;
    packet->size = int(kept.size());
    return QString();
}

} // namespace

EncodedStream::EncodedStream(const QString &path)
    : path(path)
    , streamCodec(Codecs::of(path))
    , pictureOrder(streamCodec.outputOrder())
{
}

EncodedStream::~EncodedStream()
{
    avcodec_parameters_free(&video);
}

QString EncodedStream::open(InputPtr *stream) const
{
    const QByteArray name = streamCodec.libavName();
    const AVInputFormat *demuxer = name.isEmpty() ? nullptr : av_find_input_format(name.constData());
    if (!demuxer)
        return QStringLiteral("this FFmpeg has no raw %1 demuxer").arg(streamCodec.name());
    AVFormatContext *context = nullptr;
    const int ret = avformat_open_input(&context, fileUrl(path).constData(), demuxer, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the bitstream %1 (%2)").arg(QDir::toNativeSeparators(path), errorText(ret));
    stream->reset(context);
    if (context->nb_streams != 1)
        return QStringLiteral("%1 is not an %2 elementary stream").arg(QDir::toNativeSeparators(path), streamCodec.name());
    return QString();
}

QString EncodedStream::scan(const std::atomic_bool *stop)
{
    const auto stopRequested = [stop] { return stop && stop->load(); };
    InputPtr stream;
    QString problem = open(&stream);
    PacketPtr packet(av_packet_alloc());
    if (problem.isEmpty() && !packet)
        problem = errorText(AVERROR(ENOMEM));
    while (problem.isEmpty() && !stopRequested()) {
        const int ret = av_read_frame(stream.get(), packet.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return QStringLiteral("reading the bitstream failed after %1 pictures (%2)").arg(pictureOrder->units()).arg(errorText(ret));
        const char *data = reinterpret_cast<const char *>(packet->data);
        if (!pictureOrder->addAccessUnit(data, packet->size))
            problem = QStringLiteral("the bitstream cannot be put in order: %1").arg(pictureOrder->problem);
        const bool first = pictureOrder->units() == 1;
        forEachNalUnit(streamCodec, data, packet->size, [&](const NalHeader &header, const char *nal, qsizetype size) {
            if (header.layer != 0 || !isDescribed(streamCodec, header.type))
                return;
            const QByteArray bytes(nal, size);
            if (first)
                parameterSets.append(bytes);
            else if (!parameterSets.contains(bytes))
                changing = true;
        });
        if (problem.isEmpty() && first)
            problem = readVideoParameters(packet.get());
        av_packet_unref(packet.get());
    }
    if (problem.isEmpty() && !stopRequested() && !pictureOrder->finish())
        problem = QStringLiteral("the bitstream cannot be put in order: %1").arg(pictureOrder->problem);
    if (problem.isEmpty() && pictureOrder->shown() == 0 && !stopRequested())
        problem = QStringLiteral("the bitstream %1 holds no picture").arg(QDir::toNativeSeparators(path));
    return problem;
}

// What the container says about the video (size, aspect ratio, colours, profile) comes from
// the stream itself: its first access unit, decoded once, and its parameter sets.
QString EncodedStream::readVideoParameters(const AVPacket *first)
{
    QList<Codec::Kind> sets;
    QByteArray extradata;
    for (const QByteArray &set : parameterSets) {
        sets << streamCodec.kind(streamCodec.header(set.constData()).type);
        extradata += QByteArray("\0\0\0\1", 4) + set;
    }
    if (!streamCodec.missingOpeningSets(sets).isEmpty())
        return QStringLiteral("the bitstream does not start with its parameter sets");

    const QByteArray name = streamCodec.libavName();
    const AVCodec *codec = name.isEmpty() ? nullptr : avcodec_find_decoder_by_name(name.constData());
    if (!codec)
        return QStringLiteral("this FFmpeg has no %1 decoder").arg(streamCodec.name());
    CodecPtr context(avcodec_alloc_context3(codec));
    video = avcodec_parameters_alloc();
    if (!context || !video)
        return errorText(AVERROR(ENOMEM));
    // One thread: the picture is decoded inside the call, which sets the stream's parameters.
    context->thread_count = 1;
    int ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret >= 0)
        ret = avcodec_send_packet(context.get(), first);
    if (ret >= 0)
        ret = avcodec_parameters_from_context(video, context.get());
    if (ret < 0)
        return QStringLiteral("the first picture of the bitstream is unreadable (%1)").arg(errorText(ret));
    if (video->width <= 0 || video->height <= 0)
        return QStringLiteral("the bitstream's picture size is unreadable");
    av_freep(&video->extradata);
    video->extradata = static_cast<uint8_t *>(av_mallocz(size_t(extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!video->extradata)
        return errorText(AVERROR(ENOMEM));
    std::memcpy(video->extradata, extradata.constData(), size_t(extradata.size()));
    video->extradata_size = int(extradata.size());
    return QString();
}

QString EncodedStream::rewind()
{
    reading.reset();
    unit = decoded = 0;
    return open(&reading);
}

QString EncodedStream::changedWhileMuxed() const
{
    return QStringLiteral("the bitstream %1 changed while it was muxed").arg(QDir::toNativeSeparators(path));
}

QString EncodedStream::next(AVPacket *packet, bool withoutParameterSets, Picture *picture, bool *done)
{
    for (;;) {
        const int ret = av_read_frame(reading.get(), packet);
        if (ret == AVERROR_EOF) {
            *done = true;
            return unit == pictureOrder->units() ? QString() : changedWhileMuxed();
        }
        if (ret < 0)
            return QStringLiteral("reading the bitstream failed after %1 pictures (%2)").arg(unit).arg(errorText(ret));
        const int current = unit++;
        if (current >= pictureOrder->units())
            return changedWhileMuxed();
        if (pictureOrder->kind(current) != OutputOrder::Shown) {
            av_packet_unref(packet);
            continue;
        }
        picture->place = pictureOrder->outputPlace(current);
        picture->decoded = decoded++;
        packet->flags = pictureOrder->isRandomAccess(current) ? AV_PKT_FLAG_KEY : 0;
        return withoutParameterSets ? dropParameterSets(streamCodec, packet) : QString();
    }
}
