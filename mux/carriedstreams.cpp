#include "carriedstreams.h"

#include "audioframesizes.h"
#include "containerfile.h"
#include "fileurl.h"
#include "streammetadata.h"
#include "streamnames.h"

#include <QDir>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

using namespace AvResources;

namespace {

// A stream's packets whose durations cannot be right are named one by one up to this many, the
// rest counted.
constexpr int kOddDurationsNamed = 3;

// A duration that cannot be right: negative, or longer than the 24 days that a count of
// milliseconds in 32 bits (the widest a container's packet duration goes) holds. A tool that
// subtracts in unsigned 32 bits gives an event that ends before it starts a duration between
// 2^31 and 2^32 ms (about 49 days).
bool isOddDuration(int64_t duration, AVRational base)
{
    return duration < 0 || av_rescale_q(duration, base, AVRational{1, 1000}) > INT32_MAX;
}

} // namespace

CarriedStreams::CarriedStreams(const QString &input, const ContainerFormat &format,
                               const QHash<int, QString> &leftOut, QStringList *notes)
    : path(input), format(format), leftOut(leftOut), notes(notes)
{
}

CarriedStreams::~CarriedStreams() = default;

QString CarriedStreams::open()
{
    AVFormatContext *context = nullptr;
    int ret = avformat_open_input(&context, fileUrl(path).constData(), nullptr, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the input %1 (%2)").arg(QDir::toNativeSeparators(path), errorText(ret));
    input.reset(context);
    ret = avformat_find_stream_info(context, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the input %1 (%2)").arg(QDir::toNativeSeparators(path), errorText(ret));
    // The same stream the decoder chose: the one the pictures came from.
    inputVideo = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);

    carriedIndex.assign(context->nb_streams, -1);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream *stream = context->streams[i];
        const bool demuxerSkips = stream->discard == AVDISCARD_ALL;   // a chapter track, say
        stream->discard = AVDISCARD_ALL;
        if (int(i) == inputVideo || demuxerSkips)
            continue;
        const QString problem = plan(stream);
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

QString CarriedStreams::plan(AVStream *stream)
{
    const AVCodecParameters *parameters = stream->codecpar;
    const QString described = StreamNames::inputStream(stream);
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
        *notes << QStringLiteral("%1: left out, the output's video is the encoded one.").arg(described);
        return QString();
    }
    if (leftOut.contains(stream->index)) {
        *notes << leftOut.value(stream->index);
        return QString();
    }
    Carried entry;
    entry.in = stream;
    entry.treatment = parameters->codec_id == AV_CODEC_ID_NONE ? ContainerFormat::LeaveOut
                                                                : format.treatment(parameters);
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(parameters->codec_id);
    entry.textual = descriptor && (descriptor->props & AV_CODEC_PROP_TEXT_SUB);
    const bool globalHeader = av_guess_format(format.muxerName(), nullptr, nullptr)->flags & AVFMT_GLOBALHEADER;
    const QString cannot = QStringLiteral("%1 cannot go into %2").arg(described, format.name());
    QString problem;
    if (entry.treatment == ContainerFormat::ToAac) {
        entry.audio = std::make_unique<AudioConverter>();
        if (entry.audio->open(parameters, stream->time_base, globalHeader))
            *notes << QStringLiteral("%1: converted to AAC.").arg(cannot);
        else
            problem = entry.audio->problem;
    } else if (entry.treatment == ContainerFormat::ToText) {
        entry.text = std::make_unique<SubtitleConverter>();
        if (entry.text->open(parameters, stream->time_base, format.textSubtitleCodec()))
            *notes << QStringLiteral("%1: converted to %2.").arg(cannot, StreamNames::codec(format.textSubtitleCodec()));
        else
            problem = entry.text->problem;
    }
    if (!problem.isEmpty()) {
        *notes << QStringLiteral("%1 and cannot be converted (%2): left out.").arg(cannot, problem);
        return QString();
    }
    if (entry.treatment == ContainerFormat::LeaveOut) {
        // A timecode track or the like could go into some containers; no output carries one.
        if (parameters->codec_type == AVMEDIA_TYPE_DATA)
            *notes << QStringLiteral("%1: left out (data streams are never carried).").arg(described);
        else
            *notes << QStringLiteral("%1: left out.").arg(cannot);
        return QString();
    }
    stream->discard = AVDISCARD_DEFAULT;
    carriedIndex[stream->index] = int(carried.size());
    carried.push_back(std::move(entry));
    return QString();
}

const AVStream *CarriedStreams::video() const
{
    return input && inputVideo >= 0 ? input->streams[inputVideo] : nullptr;
}

qint64 CarriedStreams::earliestStart(AVRational base) const
{
    qint64 earliest = INT64_MAX;
    for (const Carried &stream : carried)
        if (stream.in->start_time != AV_NOPTS_VALUE)
            earliest = qMin(earliest, av_rescale_q_rnd(stream.in->start_time, stream.in->time_base, base, AV_ROUND_DOWN));
    return earliest;
}

void CarriedStreams::place(const OutputSpan &outputSpan)
{
    span = outputSpan;
    for (Carried &stream : carried) {
        const AVRational base = stream.in->time_base;
        stream.origin = av_rescale_q(span.origin, span.base, base);
        if (span.cutStart)
            stream.spanStart = av_rescale_q(span.start, span.base, base);
        if (span.cutEnd)
            stream.spanEnd = av_rescale_q(span.end, span.base, base);
    }
    if (format.isIsoMedia())
        findFrameSizes();
}

// MP4 and QuickTime note how many samples an audio packet holds; where the input does not say
// (DTS, say), decoding its first packet tells.
void CarriedStreams::findFrameSizes()
{
    QList<int> unknown;
    for (const Carried &stream : carried) {
        const AVCodecParameters *parameters = stream.in->codecpar;
        if (!stream.audio && parameters->codec_type == AVMEDIA_TYPE_AUDIO && parameters->frame_size <= 0
            && av_get_bits_per_sample(parameters->codec_id) == 0)
            unknown << stream.in->index;
    }
    const QHash<int, int> sizes = AudioFrameSizes::read(path, unknown, input->nb_streams);
    for (auto size = sizes.begin(); size != sizes.end(); ++size)
        carried[size_t(carriedIndex[size.key()])].frameSize = size.value();
}

QString CarriedStreams::addTo(AVFormatContext *output)
{
    for (Carried &stream : carried) {
        const QString problem = addStream(stream, output);
        if (!problem.isEmpty())
            return problem;
    }
    if (input) {
        StreamMetadata::copy(&output->metadata, input->metadata);
        if (format.hasChapters())
            addChapters(output);
        else if (input->nb_chapters > 0)
            *notes << QStringLiteral("The input's %1 cannot go into %2: left out.")
                          .arg(StreamNames::countOf(int(input->nb_chapters), "chapter", "chapters"), format.name());
    }
    return QString();
}

QString CarriedStreams::addStream(Carried &stream, AVFormatContext *output)
{
    stream.out = avformat_new_stream(output, nullptr);
    if (!stream.out)
        return errorText(AVERROR(ENOMEM));
    int ret = 0;
    if (stream.audio) {
        ret = avcodec_parameters_from_context(stream.out->codecpar, stream.audio->encoder());
        stream.out->time_base = stream.audio->encoder()->time_base;
    } else if (stream.text) {
        ret = avcodec_parameters_from_context(stream.out->codecpar, stream.text->encoder());
        stream.out->time_base = stream.in->time_base;
    } else {
        ret = avcodec_parameters_copy(stream.out->codecpar, stream.in->codecpar);
        stream.out->time_base = stream.in->time_base;
    }
    if (ret < 0)
        return errorText(ret);
    // The muxer picks its own tag for the codec.
    stream.out->codecpar->codec_tag = 0;
    if (stream.frameSize > 0)
        stream.out->codecpar->frame_size = stream.frameSize;
    stream.out->disposition = stream.in->disposition;
    StreamMetadata::copyToTrack(&stream.out->metadata, stream.in->metadata, format);
    return QString();
}

// The input's chapters within the span, moved with the pictures.
void CarriedStreams::addChapters(AVFormatContext *output)
{
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter *chapter = input->chapters[i];
        const AVRational base = chapter->time_base;
        int64_t start = chapter->start, end = chapter->end;
        if (span.cutStart)
            start = qMax(start, av_rescale_q(span.start, span.base, base));
        if (span.cutEnd)
            end = qMin(end, av_rescale_q(span.end, span.base, base));
        if (end <= start)
            continue;
        auto *copy = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!copy)
            return;
        const int64_t shift = av_rescale_q(span.origin, span.base, base);
        copy->id = chapter->id;
        copy->time_base = base;
        copy->start = start - shift;
        copy->end = end - shift;
        StreamMetadata::copy(&copy->metadata, chapter->metadata);
        AVChapter **grown = static_cast<AVChapter **>(
            av_realloc_array(output->chapters, output->nb_chapters + 1, sizeof(AVChapter *)));
        if (!grown) {
            av_dict_free(&copy->metadata);
            av_free(copy);
            return;
        }
        output->chapters = grown;
        output->chapters[output->nb_chapters++] = copy;
    }
    carriedChapters = int(output->nb_chapters);
}

QString CarriedStreams::next(AVPacket *packet, bool *done)
{
    for (;;) {
        const int ret = av_read_frame(input.get(), packet);
        if (ret == AVERROR_EOF) {
            *done = true;
            return QString();
        }
        if (ret < 0)
            return QStringLiteral("reading the input %1 failed (%2)").arg(QDir::toNativeSeparators(path), errorText(ret));
        const int index = packet->stream_index < int(carriedIndex.size()) ? carriedIndex.at(packet->stream_index) : -1;
        if (index < 0) {
            av_packet_unref(packet);
            continue;
        }
        Carried &stream = carried.at(size_t(index));
        const InSpan inSpan = clipToSpan(stream, packet);
        if (inSpan != InSpan::Yes) {
            av_packet_unref(packet);
            if (inSpan == InSpan::Beyond) {
                *done = true;
                return QString();
            }
            continue;
        }
        if (checkDuration(stream, packet) == OddDuration::LeftOut) {
            av_packet_unref(packet);
            continue;
        }
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= stream.origin;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= stream.origin;
        return QString();
    }
}

// Whether a packet falls within the span; a line of text that is still showing where the span
// starts is clipped to show from there on.
CarriedStreams::InSpan CarriedStreams::clipToSpan(const Carried &stream, AVPacket *packet) const
{
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE && (span.cutStart || span.cutEnd))
        return InSpan::No;   // cannot be placed in the span
    if (time != AV_NOPTS_VALUE && time >= stream.spanEnd) {
        // Files interleave their streams within a few seconds; far beyond the span's end,
        // nothing more belongs to it.
        const int64_t margin = av_rescale_q(10, AVRational{1, 1}, stream.in->time_base);
        return time - stream.spanEnd > margin ? InSpan::Beyond : InSpan::No;
    }
    if (time != AV_NOPTS_VALUE && time < stream.spanStart) {
        const int64_t end = time + packet->duration;
        if (!stream.textual || packet->duration <= 0 || isOddDuration(packet->duration, stream.in->time_base)
            || end <= stream.spanStart)
            return InSpan::No;
        packet->duration = end - stream.spanStart;
        packet->pts = packet->dts = stream.spanStart;
    }
    return InSpan::Yes;
}

// One packet that cannot be right costs no more than itself: an event that ends before it starts
// (or would show for weeks) gets a duration of zero, where the container has one for text (else it
// is left out); any other packet a duration of zero. The first few are named, with their times in
// the input. packet: as read from the input, its times the input's.
CarriedStreams::OddDuration CarriedStreams::checkDuration(Carried &stream, AVPacket *packet)
{
    const AVRational base = stream.in->time_base;
    if (stream.audio || !isOddDuration(packet->duration, base))
        return OddDuration::Fine;
    const bool text = stream.in->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
    const bool leaveOut = text && !format.holdsZeroLengthSubtitles();
    if (++stream.oddDurations <= kOddDurationsNamed) {
        const AVRational milliseconds{1, 1000};
        const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const int64_t ms = av_rescale_q(packet->duration, base, milliseconds);
        const QString kind = QLatin1String(text ? "event" : "packet");
        const QString at = start == AV_NOPTS_VALUE ? QString() : QStringLiteral(" at %1").arg(StreamNames::time(start, base));
        QString what;
        if (packet->duration < 0 || ms <= int64_t(UINT32_MAX)) {
            // As the tool that wrote it meant it: a difference in 32 bits.
            const int64_t back = packet->duration < 0 ? packet->duration
                                                      : av_rescale_q(int64_t(int32_t(uint32_t(ms))), milliseconds, base);
            what = start == AV_NOPTS_VALUE
                ? QStringLiteral("the %1 ends before it starts").arg(kind)
                : QStringLiteral("the %1%2 ends before it starts (at %3)").arg(kind, at, StreamNames::time(start + back, base));
        } else {
            what = QStringLiteral("the %1%2 would last %3 hours").arg(kind, at).arg(ms / 3600000);
        }
        *notes << QStringLiteral("%1: %2: %3.")
                      .arg(StreamNames::inputStream(stream.in), what,
                           leaveOut ? QStringLiteral("left out, as %1 has no event that shows for no time").arg(format.name())
                                    : QStringLiteral("written with a duration of zero"));
    }
    if (leaveOut)
        return OddDuration::LeftOut;
    packet->duration = 0;
    return OddDuration::Zeroed;
}

AVRational CarriedStreams::timeBase(const AVPacket *packet) const
{
    return input->streams[packet->stream_index]->time_base;
}

QString CarriedStreams::write(AVPacket *packet, ContainerFile &file)
{
    Carried &stream = carried.at(size_t(carriedIndex.at(packet->stream_index)));
    if (stream.audio)
        return convertAudio(stream, packet, file);
    if (stream.text) {
        PacketPtr converted(av_packet_alloc());
        bool produced = false;
        if (!converted)
            return errorText(AVERROR(ENOMEM));
        if (!stream.text->convert(packet, converted.get(), &produced))
            return QStringLiteral("converting %1 failed: %2").arg(StreamNames::inputStream(stream.in), stream.text->problem);
        if (!produced)
            return QString();
        converted->stream_index = stream.out->index;
        return file.write(converted.get(), stream.in->time_base);
    }
    packet->stream_index = stream.out->index;
    return file.write(packet, stream.in->time_base);
}

// packet: the next one of the stream, or nullptr at the end, which drains the converter.
QString CarriedStreams::convertAudio(Carried &stream, const AVPacket *packet, ContainerFile &file)
{
    QString problem;
    const AVRational base = stream.audio->encoder()->time_base;
    const int outIndex = stream.out->index;
    const bool ok = stream.audio->convert(packet, [&](AVPacket *encoded) {
        encoded->stream_index = outIndex;
        problem = file.write(encoded, base);
        return problem.isEmpty();
    });
    if (!ok && problem.isEmpty())
        problem = QStringLiteral("converting %1 failed: %2").arg(StreamNames::inputStream(stream.in), stream.audio->problem);
    return problem;
}

QString CarriedStreams::flush(ContainerFile &file)
{
    for (Carried &stream : carried) {
        const QString problem = stream.audio ? convertAudio(stream, nullptr, file) : QString();
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

// A stream is in the output when the muxer wrote a packet of it; attachments are in its header.
bool CarriedStreams::written(const Carried &stream) const
{
    return stream.out->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT || stream.out->nb_frames > 0;
}

QHash<int, QString> CarriedStreams::emptyTracks(const ContainerFile &file) const
{
    QHash<int, QString> empty;
    for (const Carried &stream : carried)
        if (!written(stream))
            empty.insert(stream.in->index, emptyTrackNote(stream, file));
    return empty;
}

QString CarriedStreams::emptyTrackNote(const Carried &stream, const ContainerFile &file) const
{
    const QString described = StreamNames::inputStream(stream.in);
    const qint64 handed = file.handed(stream.out->index);
    if (handed == 0 && stream.oddDurations > 0)
        return QStringLiteral("%1: %2 before it starts (or would show for weeks), and %3 has no event that shows "
                              "for no time: left out.")
            .arg(described,
                 stream.oddDurations == 1 ? QStringLiteral("its one event ends")
                                          : QStringLiteral("each of its %1 events ends").arg(stream.oddDurations),
                 format.name());
    if (handed == 0)
        return span.cutStart || span.cutEnd
            ? QStringLiteral("%1: none of its packets falls within the output's span: left out.").arg(described)
            : QStringLiteral("%1: the input holds no packets of it: left out.").arg(described);
    return QStringLiteral("%1: none of its %2 could be written (%3): left out.")
        .arg(described, StreamNames::countOf(handed, "packet", "packets"), file.refusals());
}

void CarriedStreams::noteWhatWasLost(const ContainerFile &file)
{
    for (const Carried &stream : carried) {
        const QString described = StreamNames::inputStream(stream.in);
        if (stream.oddDurations > kOddDurationsNamed) {
            const bool text = stream.in->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
            *notes << QStringLiteral("%1: %2 more %3 whose durations cannot be right: %4.")
                          .arg(described)
                          .arg(stream.oddDurations - kOddDurationsNamed)
                          .arg(QLatin1String(text ? "events" : "packets"),
                               QLatin1String(text && !format.holdsZeroLengthSubtitles()
                                                 ? "left out" : "written with a duration of zero"));
        }
        const qint64 handed = file.handed(stream.out->index);
        if (file.refusedAny() && file.written(stream.out->index) < handed)
            *notes << QStringLiteral("%1: %2 of its %3 packets could not be written (%4): left out.")
                          .arg(described)
                          .arg(handed - file.written(stream.out->index))
                          .arg(handed)
                          .arg(file.refusals());
    }
}

QStringList CarriedStreams::summary() const
{
    QStringList parts;
    QStringList audio;
    int subtitles = 0, attachments = 0;
    for (const Carried &stream : carried) {
        if (!written(stream))
            continue;
        switch (stream.out->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            audio << StreamNames::audio(stream.out->codecpar, stream.in);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++subtitles;
            break;
        case AVMEDIA_TYPE_ATTACHMENT:
            ++attachments;
            break;
        default:
            break;
        }
    }
    if (!audio.isEmpty())
        parts << QStringLiteral("audio ") + audio.join(QStringLiteral(", "));
    if (subtitles > 0)
        parts << StreamNames::countOf(subtitles, "subtitle track", "subtitle tracks");
    if (attachments > 0)
        parts << StreamNames::countOf(attachments, "attachment", "attachments");
    if (carriedChapters > 0)
        parts << StreamNames::countOf(carriedChapters, "chapter", "chapters");
    return parts;
}
