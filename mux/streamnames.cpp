#include "streamnames.h"

#include <QStringList>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

QString StreamNames::codec(int codecId)
{
    static const struct { AVCodecID id; const char *name; } names[] = {
        {AV_CODEC_ID_AAC, "AAC"}, {AV_CODEC_ID_AAC_LATM, "AAC (LATM)"}, {AV_CODEC_ID_AC3, "AC-3"},
        {AV_CODEC_ID_EAC3, "E-AC-3"}, {AV_CODEC_ID_MP3, "MP3"}, {AV_CODEC_ID_MP2, "MP2"},
        {AV_CODEC_ID_OPUS, "Opus"}, {AV_CODEC_ID_VORBIS, "Vorbis"}, {AV_CODEC_ID_FLAC, "FLAC"},
        {AV_CODEC_ID_ALAC, "ALAC"}, {AV_CODEC_ID_DTS, "DTS"}, {AV_CODEC_ID_TRUEHD, "TrueHD"},
        {AV_CODEC_ID_SUBRIP, "SubRip"}, {AV_CODEC_ID_ASS, "ASS"}, {AV_CODEC_ID_SSA, "SSA"},
        {AV_CODEC_ID_WEBVTT, "WebVTT"}, {AV_CODEC_ID_MOV_TEXT, "timed text"},
        {AV_CODEC_ID_DVD_SUBTITLE, "DVD subtitles"}, {AV_CODEC_ID_HDMV_PGS_SUBTITLE, "PGS"},
        {AV_CODEC_ID_DVB_SUBTITLE, "DVB subtitles"}, {AV_CODEC_ID_DVB_TELETEXT, "teletext"},
    };
    for (const auto &entry : names)
        if (entry.id == codecId)
            return QLatin1String(entry.name);
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(static_cast<AVCodecID>(codecId));
    if (descriptor && QByteArray(descriptor->name).startsWith("pcm_"))
        return QStringLiteral("PCM");
    return QString::fromLatin1(avcodec_get_name(static_cast<AVCodecID>(codecId)));
}

QString StreamNames::codec(const AVCodecParameters *parameters)
{
    if (parameters->codec_id != AV_CODEC_ID_NONE)
        return codec(parameters->codec_id);
    const uint32_t tag = parameters->codec_tag;
    if (tag == MKTAG('t', 'm', 'c', 'd'))
        return QStringLiteral("timecode");
    QString text;
    for (int shift = 0; shift < 32 && tag != 0; shift += 8) {
        const char c = char((tag >> shift) & 0xff);
        if (c < 0x20 || c > 0x7e)
            return QStringLiteral("unknown codec");
        text += QLatin1Char(c);
    }
    return text.isEmpty() ? QStringLiteral("unknown codec") : QStringLiteral("tag '%1'").arg(text);
}

QString StreamNames::language(const AVStream *stream)
{
    const AVDictionaryEntry *entry = av_dict_get(stream->metadata, "language", nullptr, 0);
    if (!entry || !*entry->value || av_strcasecmp(entry->value, "und") == 0)
        return QString();
    return QString::fromUtf8(entry->value);
}

QString StreamNames::audio(const AVCodecParameters *parameters, const AVStream *input)
{
    QString text = codec(parameters);
    if (parameters->sample_rate > 0)
        text += QStringLiteral(" %1 kHz").arg(QString::number(parameters->sample_rate / 1000.0, 'g', 4));
    // A count of channels without their places reads as the usual layout for that count.
    AVChannelLayout channels = {};
    if (parameters->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&channels, parameters->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&channels, &parameters->ch_layout);
    char layout[128];
    if (channels.nb_channels > 0 && av_channel_layout_describe(&channels, layout, sizeof layout) > 0)
        text += QLatin1Char(' ') + QString::fromLatin1(layout);
    av_channel_layout_uninit(&channels);
    const QString spoken = language(input);
    if (!spoken.isEmpty())
        text += QStringLiteral(" (%1)").arg(spoken);
    return text;
}

QString StreamNames::inputStream(const AVStream *stream)
{
    QString kind;
    switch (stream->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        kind = QStringLiteral("Video");
        break;
    case AVMEDIA_TYPE_AUDIO:
        kind = QStringLiteral("Audio");
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        kind = QStringLiteral("Subtitle");
        break;
    case AVMEDIA_TYPE_ATTACHMENT:
        kind = QStringLiteral("Attachment");
        break;
    default:
        kind = QStringLiteral("Data");
        break;
    }
    QString what = codec(stream->codecpar);
    // A timecode track says where its pictures' clock starts.
    const AVDictionaryEntry *timecode = av_dict_get(stream->metadata, "timecode", nullptr, 0);
    if (stream->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd') && timecode && *timecode->value)
        what += QLatin1Char(' ') + QString::fromUtf8(timecode->value);
    QStringList details{what};
    if (!language(stream).isEmpty())
        details << language(stream);
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)
        details << QStringLiteral("attached picture");
    return QStringLiteral("%1 stream %2 (%3)").arg(kind).arg(stream->index).arg(details.join(QStringLiteral(", ")));
}

QString StreamNames::time(int64_t timestamp, AVRational timeBase)
{
    int64_t ms = av_rescale_q(timestamp, timeBase, AVRational{1, 1000});
    const bool negative = ms < 0;
    if (negative)
        ms = -ms;
    return QStringLiteral("%1%2:%3:%4.%5")
        .arg(QLatin1String(negative ? "-" : ""))
        .arg(ms / 3600000)
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

QString StreamNames::countOf(qint64 count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}
