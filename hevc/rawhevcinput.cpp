#include "rawhevcinput.h"

#include "bitstream/bytestream.h"

#include <QFile>
#include <QFileInfo>

extern "C" {
#include <libavformat/avformat.h>
}

using namespace AvResources;

namespace {

// How much of the file's head is searched for the first start code.
constexpr qint64 kHeadSize = 1 << 16;

} // namespace

QString RawHevcInput::open(const QString &path)
{
    const AVInputFormat *demuxer = av_find_input_format("hevc");
    if (!demuxer)
        return QStringLiteral("this FFmpeg has no raw HEVC demuxer");
    // The file protocol is named so that a colon in the name is not taken for a protocol.
    const QByteArray url = "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
    AVFormatContext *context = nullptr;
    int ret = avformat_open_input(&context, url.constData(), demuxer, nullptr);
    if (ret < 0)
        return errorText(ret);
    input.reset(context);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_id != AV_CODEC_ID_HEVC)
        return QStringLiteral("it is not an HEVC elementary stream");

    first.reset(av_packet_alloc());
    if (!first)
        return errorText(AVERROR(ENOMEM));
    ret = av_read_frame(input.get(), first.get());
    if (ret < 0)
        return ret == AVERROR_EOF ? QStringLiteral("it holds no pictures") : errorText(ret);
    QList<SequenceFormat> formats;
    if (!sequenceFormats(reinterpret_cast<const char *>(first->data), first->size, &formats))
        return QStringLiteral("its sequence parameter set is unreadable");
    if (formats.isEmpty())
        return QStringLiteral("it does not start with a sequence parameter set");
    sequence = formats.first();
    return QString();
}

int RawHevcInput::read(AVPacket *packet)
{
    return av_read_frame(input.get(), packet);
}

void RawHevcInput::close()
{
    input.reset();
}

bool RawHevcInput::startsWithStartCode(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(kHeadSize);
    const qsizetype at = ByteStream::findNalUnit(head.constData(), head.size(), 0);
    if (at < 0)
        return false;
    for (qsizetype i = 0; i < at - 3; ++i)
        if (head.at(i) != 0)
            return false;
    return true;
}

bool RawHevcInput::sequenceFormats(const char *data, qsizetype size, QList<SequenceFormat> *formats)
{
    qsizetype at = ByteStream::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size) {
        const qsizetype next = ByteStream::findNalUnit(data, size, at + 2);
        const qsizetype end = next < 0 ? size : next - 3;
        if (HevcByteStream::nalType(data + at) == HevcByteStream::Sps
            && HevcByteStream::nalLayer(data + at) == 0) {
            SequenceFormat format;
            if (!HevcByteStream::readSequenceFormat(data + at, end - at, &format))
                return false;
            formats->append(format);
        }
        at = next;
    }
    return true;
}
