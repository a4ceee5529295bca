#include "containerformat.h"

#include <QFileInfo>

#include <algorithm>
#include <initializer_list>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

bool among(AVCodecID id, std::initializer_list<AVCodecID> ids)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool isPcm(AVCodecID id)
{
    return id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT;
}

// What libavformat's own muxer says it takes.
bool muxerTakes(const char *muxer, AVCodecID id)
{
    return avformat_query_codec(av_guess_format(muxer, nullptr, nullptr), id, FF_COMPLIANCE_NORMAL) == 1;
}

} // namespace

ContainerFormat ContainerFormat::forPath(const QString &path)
{
    ContainerFormat format;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("mp4") || suffix == QLatin1String("m4v"))
        format.which = Mp4;
    else if (suffix == QLatin1String("mov"))
        format.which = QuickTime;
    else if (suffix == QLatin1String("mkv"))
        format.which = Matroska;
    else if (suffix == QLatin1String("ts") || suffix == QLatin1String("m2ts"))
        format.which = TransportStream;
    format.blueRay = suffix == QLatin1String("m2ts");
    return format;
}

const char *ContainerFormat::muxerName() const
{
    switch (which) {
    case Mp4:
        return "mp4";
    case QuickTime:
        return "mov";
    case Matroska:
        return "matroska";
    case TransportStream:
        return "mpegts";
    case Bitstream:
        break;
    }
    return "hevc";
}

QString ContainerFormat::name() const
{
    switch (which) {
    case Mp4:
        return QStringLiteral("MP4");
    case QuickTime:
        return QStringLiteral("QuickTime");
    case Matroska:
        return QStringLiteral("Matroska");
    case TransportStream:
        return QStringLiteral("MPEG-TS");
    case Bitstream:
        break;
    }
    return QStringLiteral("HEVC bitstream");
}

int ContainerFormat::textSubtitleCodec() const
{
    switch (which) {
    case Mp4:
    case QuickTime:
        return AV_CODEC_ID_MOV_TEXT;
    case Matroska:
        return AV_CODEC_ID_SUBRIP;
    case TransportStream:
    case Bitstream:
        break;
    }
    return AV_CODEC_ID_NONE;
}

ContainerFormat::Treatment ContainerFormat::treatment(const AVCodecParameters *parameters) const
{
    const AVCodecID id = parameters->codec_id;
    switch (parameters->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
        // MP4 and QuickTime keep to what common players decode there; FLAC, TrueHD and Vorbis
        // in MP4 are experimental or unusual, Opus and FLAC are MP4-only.
        bool fits = false;
        if (which == Mp4)
            fits = among(id, {AV_CODEC_ID_AAC, AV_CODEC_ID_MP3, AV_CODEC_ID_MP2, AV_CODEC_ID_AC3,
                              AV_CODEC_ID_EAC3, AV_CODEC_ID_DTS, AV_CODEC_ID_OPUS, AV_CODEC_ID_ALAC});
        else if (which == QuickTime)
            fits = among(id, {AV_CODEC_ID_AAC, AV_CODEC_ID_MP3, AV_CODEC_ID_MP2, AV_CODEC_ID_AC3,
                              AV_CODEC_ID_EAC3, AV_CODEC_ID_DTS, AV_CODEC_ID_ALAC})
                   || (isPcm(id) && muxerTakes("mov", id));
        else if (which == Matroska)
            fits = muxerTakes("matroska", id);
        else if (which == TransportStream)
            // The transport stream muxer takes anything, but other codecs get a private stream
            // type that players do not recognise.
            fits = among(id, {AV_CODEC_ID_AAC, AV_CODEC_ID_AAC_LATM, AV_CODEC_ID_MP3, AV_CODEC_ID_MP2,
                              AV_CODEC_ID_AC3, AV_CODEC_ID_EAC3, AV_CODEC_ID_DTS, AV_CODEC_ID_TRUEHD,
                              AV_CODEC_ID_OPUS});
        return fits ? Copy : ToAac;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
        bool fits = false;
        if (which == Mp4)
            fits = among(id, {AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_DVD_SUBTITLE});
        else if (which == QuickTime)
            fits = among(id, {AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_EIA_608});
        else if (which == Matroska)
            fits = muxerTakes("matroska", id);
        else if (which == TransportStream)
            fits = among(id, {AV_CODEC_ID_DVB_SUBTITLE, AV_CODEC_ID_DVB_TELETEXT});
        if (fits)
            return Copy;
        const AVCodecDescriptor *descriptor = avcodec_descriptor_get(id);
        const bool text = descriptor && (descriptor->props & AV_CODEC_PROP_TEXT_SUB);
        return text && textSubtitleCodec() != AV_CODEC_ID_NONE ? ToText : LeaveOut;
    }
    case AVMEDIA_TYPE_ATTACHMENT:
        // Fonts and the like, which only Matroska keeps.
        return which == Matroska ? Copy : LeaveOut;
    default:
        return LeaveOut;
    }
}
