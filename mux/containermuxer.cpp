#include "containermuxer.h"

#include "audioconverter.h"
#include "audioframesizes.h"
#include "bitstream/avresources.h"
#include "containerformat.h"
#include "streamnames.h"
#include "subtitleconverter.h"

#include "bitstream/hevcbytestream.h"
#include "bitstream/librarylog.h"
#include "bitstream/pictureorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/avstring.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

using namespace AvResources;

namespace {

using H = HevcByteStream;

struct OutputDeleter
{
    void operator()(AVFormatContext *context) const
    {
        avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

// The file protocol is named so that a colon in a name is not taken for a protocol.
QByteArray fileUrl(const QString &path)
{
    return "file:" + QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Calls visit(type, nal, size) for each base-layer NAL unit of an access unit, without the
// zero bytes that precede the next start code.
template <typename Visit>
void forEachNalUnit(const char *data, qsizetype size, Visit visit)
{
    qsizetype at = H::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size) {
        const qsizetype next = H::findNalUnit(data, size, at + 2);
        qsizetype end = next < 0 ? size : next - 3;
        while (end > at + 2 && data[end - 1] == 0)
            --end;
        visit(H::nalType(data + at), H::nalLayer(data + at), data + at, end - at);
        at = next;
    }
}

bool isParameterSet(int type)
{
    return type == H::Vps || type == H::Sps || type == H::Pps;
}

// Keys of the input's metadata that describe the input's own file or coding, which the output
// does not share: the tool that wrote it, the brands of its container, statistics of its tracks,
// and the start of its timecode track, which is left out with the other data streams (the MP4
// and QuickTime muxers would make a timecode track of it again).
bool keepsMetadata(const char *key)
{
    static const char *const dropped[] = {"encoder", "major_brand", "minor_version",
                                          "compatible_brands", "duration", "bps",
                                          "number_of_frames", "number_of_bytes", "timecode"};
    for (const char *name : dropped)
        if (av_strcasecmp(key, name) == 0)
            return false;
    return av_strncasecmp(key, "_statistics_", 12) != 0;
}

void copyMetadata(AVDictionary **to, const AVDictionary *from)
{
    const AVDictionaryEntry *entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX)))
        if (keepsMetadata(entry->key))
            av_dict_set(to, entry->key, entry->value, 0);
}

// QuickTime files label a track's language with the old Macintosh codes, which FFmpeg knows
// by the bibliographic ISO 639-2 names; the terminology names of the same languages would be
// lost as "undetermined".
void useQuickTimeLanguage(AVDictionary **metadata)
{
    static const char *const names[][2] = {
        {"deu", "ger"}, {"nld", "dut"}, {"ell", "gre"}, {"isl", "ice"}, {"zho", "chi"}, {"sqi", "alb"},
        {"mkd", "mac"}, {"hye", "arm"}, {"kat", "geo"}, {"bod", "tib"}, {"mya", "bur"}, {"msa", "may"},
        {"cym", "wel"}, {"eus", "baq"}, {"swe", "sve"},
    };
    const AVDictionaryEntry *entry = av_dict_get(*metadata, "language", nullptr, 0);
    if (!entry)
        return;
    for (const auto &name : names) {
        if (av_strcasecmp(entry->value, name[0]) == 0) {
            av_dict_set(metadata, "language", name[1], 0);
            return;
        }
    }
}

// MP4 and QuickTime keep a track's title as the name of its handler, where players show it.
void keepIsoTrackNames(AVDictionary **metadata, bool quickTime)
{
    const AVDictionaryEntry *title = av_dict_get(*metadata, "title", nullptr, 0);
    if (title)
        av_dict_set(metadata, "handler_name", title->value, 0);
    if (quickTime)
        useQuickTimeLanguage(metadata);
}

// Copies the rotation of a phone's video and the like from the input's video stream.
void copyDisplayMatrix(const AVStream *from, AVStream *to)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    const AVPacketSideData *data = av_packet_side_data_get(from->codecpar->coded_side_data,
                                                           from->codecpar->nb_coded_side_data,
                                                           AV_PKT_DATA_DISPLAYMATRIX);
    if (!data)
        return;
    AVPacketSideData *copy = av_packet_side_data_new(&to->codecpar->coded_side_data,
                                                     &to->codecpar->nb_coded_side_data,
                                                     AV_PKT_DATA_DISPLAYMATRIX, data->size, 0);
    if (copy)
        std::memcpy(copy->data, data->data, data->size);
#else
    size_t size = 0;
    const uint8_t *matrix = av_stream_get_side_data(from, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size == 0)
        return;
    uint8_t *copy = av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (copy)
        std::memcpy(copy, matrix, size);
#endif
}

QString syncFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    return synced ? QString() : QString::fromLocal8Bit(std::strerror(error));
}

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

// Whether pictures at these times (in units of base) are shown at this rate: each within the
// rounding of timestamps (one unit of the time base, or a millisecond, the precision of many
// containers, but under a quarter of a picture) of where the rate puts it after the first.
bool showsAt(const QVector<qint64> &times, AVRational base, AVRational rate)
{
    if (rate.num <= 0 || rate.den <= 0 || times.size() < 2)
        return false;
    const double interval = av_q2d(av_div_q(av_inv_q(rate), base));
    const int64_t tolerance = qMin<int64_t>(qMax<int64_t>(1, av_rescale_q(1, AVRational{1, 1000}, base)),
                                            int64_t(interval / 4));
    const int64_t scaled = int64_t(rate.den) * base.den, per = int64_t(rate.num) * base.num;
    for (int k = 1; k < times.size(); ++k) {
        const int64_t expected = av_rescale_rnd(k, scaled, per, AV_ROUND_NEAR_INF);
        if (std::llabs(times.at(k) - times.first() - expected) > tolerance)
            return false;
    }
    return true;
}

// One stream of the input that goes into the output.
struct Carried
{
    AVStream *in = nullptr;
    AVStream *out = nullptr;
    ContainerFormat::Treatment treatment = ContainerFormat::Copy;
    std::unique_ptr<AudioConverter> audio;
    std::unique_ptr<SubtitleConverter> text;
    bool textual = false;        // text subtitles, which may be clipped at the span's start
    int64_t origin = 0;          // in the input stream's time base, as the span below
    int64_t spanStart = INT64_MIN, spanEnd = INT64_MAX;
    int frameSize = 0;           // samples a packet holds, where the input does not say it
    int64_t handed = 0;          // packets handed to the muxer
    int oddDurations = 0;        // packets whose duration cannot be right
};

// What becomes of a packet whose duration cannot be right.
enum class OddDuration { Fine, Zeroed, LeftOut };

class Mux
{
public:
    Mux(const MuxRequest &request, const std::atomic_bool *stop)
        : request(request), stop(stop), format(ContainerFormat::forPath(request.output))
    {
    }

    MuxResult run();

private:
    bool stopRequested() const { return stop && stop->load(); }
    QString openBitstream(InputPtr *stream) const;
    QString scanBitstream();
    QString readVideoParameters(const AVPacket *first);
    QString planTimes();
    QString openInput();
    QString planStream(AVStream *stream);
    void findFrameSizes();
    QString chooseRate();
    QString createOutput();
    QString addVideoStream();
    void addChapters();
    QString writeStreams();
    QString nextVideoPacket(AVFormatContext *stream, AVPacket *packet, bool *done);
    QString nextInputPacket(AVPacket *packet, bool *done);
    OddDuration checkDuration(Carried &stream, AVPacket *packet);
    QString writeInputPacket(AVPacket *packet);
    QString convertAudio(Carried &stream, const AVPacket *packet);
    QString writePacket(AVPacket *packet, AVRational from, int64_t *handed);
    QString refused(int code);
    QString flushConverters();
    QString finishOutput();
    QString writeFailure(int code) const;
    bool written(const Carried &stream) const;
    QString emptyTrackNote(const Carried &stream) const;
    void noteWhatWasLost();
    void discardPass();
    QString summary() const;

    const MuxRequest &request;
    const std::atomic_bool *stop;
    const ContainerFormat format;
    MuxResult result;

    // The encoded stream.
    PictureOrder order;
    QList<QByteArray> parameterSets;   // of the first access unit, in order
    bool parameterSetsChange = false;  // later access units bring other ones
    AVCodecParameters *video = nullptr;
    QVector<qint64> shown;             // the pictures' times, in output order
    AVRational videoBase{1, 25};
    qint64 videoEnd = 0;               // the end of the last picture
    int reorderDelay = 0;              // decoding runs this many pictures ahead of output
    int64_t origin = 0;                // the input's time that becomes the output's zero
    qint64 spanStart = 0;              // where the input's other streams are cut, if they are
    bool cutStart = false, cutEnd = false;
    bool variableRate = false;
    AVRational rate{0, 1};             // the steady rate the pictures are shown at; 0/1: none
    int unit = 0, decoded = 0;         // access units read, shown pictures written
    int64_t videoHanded = 0;           // pictures handed to the muxer

    // The input and what of it goes along.
    InputPtr input;
    int inputVideo = -1;
    std::vector<Carried> carried;
    std::vector<int> carriedIndex;     // by input stream: index into carried, or -1
    int carriedChapters = 0;
    // Input streams that an earlier pass wrote no packet of, with the note that says so: a
    // container that would keep them as empty tracks is written once more without them.
    QHash<int, QString> emptyStreams;
    QStringList refusals;              // why the muxer refused packets, each reason once

    QString temporary;
    OutputPtr output;
    AVStream *videoOut = nullptr;
};

MuxResult Mux::run()
{
    // What FFmpeg's libraries say on the way comes first among the notes, each line once; the
    // muxer's complaint that an audio track's frame size is not set is left out: without it, MP4
    // and QuickTime take each packet's own duration, as they would with it.
    QStringList libraryLines;
    const LibraryLog::Scope scope([&libraryLines](const QString &line) {
        if (!line.contains(QLatin1String("codec frame size is not set")))
            libraryLines << line;
    });
    QString problem;
    if (!format.isContainer())
        problem = QStringLiteral("%1 names no container (.mp4, .m4v, .mov, .mkv, .ts, .m2ts)")
                      .arg(QFileInfo(request.output).fileName());
    // Each step runs only when the ones before succeeded and no stop was asked for.
    const auto step = [&](QString (Mux::*action)()) {
        if (problem.isEmpty() && !stopRequested())
            problem = (this->*action)();
    };
    step(&Mux::scanBitstream);
    step(&Mux::planTimes);
    const QStringList planned = result.notes;
    for (;;) {
        if (!request.input.isEmpty())
            step(&Mux::openInput);
        step(&Mux::chooseRate);
        step(&Mux::createOutput);
        step(&Mux::writeStreams);
        if (!problem.isEmpty() || stopRequested())
            break;
        // A track that got no packet would be in the file all the same (Matroska lists it, an
        // MPEG-TS program names it, MP4 closes a timed-text track with an empty sample), or not
        // (MP4 leaves out other empty tracks): either way it is not what the input meant. The
        // file is written once more without it, which a track of the input without a packet in
        // the span is worth.
        const int before = emptyStreams.size();
        for (const Carried &stream : carried)
            if (!written(stream))
                emptyStreams.insert(stream.in->index, emptyTrackNote(stream));
        if (emptyStreams.size() == before)
            break;
        discardPass();
        result.notes = planned;
    }
    result.stopped = problem.isEmpty() && stopRequested();
    const bool complete = problem.isEmpty() && !result.stopped;
    if (complete) {
        noteWhatWasLost();
        result.summary = summary();
    }

    avcodec_parameters_free(&video);
    output.reset();   // closes the file
    if (complete) {
        problem = syncFile(temporary);
        if (problem.isEmpty() && ::rename(QFile::encodeName(temporary).constData(),
                                          QFile::encodeName(request.output).constData()) != 0)
            problem = QString::fromLocal8Bit(std::strerror(errno));
    }
    if (!temporary.isEmpty() && (!complete || !problem.isEmpty()))
        QFile::remove(temporary);
    result.notes = libraryLines + result.notes;
    if (!problem.isEmpty()) {
        result.summary.clear();
        result.error = QStringLiteral("Cannot write %1: %2").arg(native(request.output), problem);
        return result;
    }
    result.ok = !result.stopped;
    return result;
}

// Forgets a pass's output and its reading of the input, so that the next starts afresh.
void Mux::discardPass()
{
    output.reset();
    if (!temporary.isEmpty())
        QFile::remove(temporary);
    temporary.clear();
    videoOut = nullptr;
    carried.clear();
    carriedIndex.clear();
    carriedChapters = 0;
    input.reset();
    inputVideo = -1;
    unit = decoded = 0;
    videoHanded = 0;
    refusals.clear();
}

QString Mux::openBitstream(InputPtr *stream) const
{
    const AVInputFormat *demuxer = av_find_input_format("hevc");
    if (!demuxer)
        return QStringLiteral("this FFmpeg has no raw HEVC demuxer");
    AVFormatContext *context = nullptr;
    const int ret = avformat_open_input(&context, fileUrl(request.bitstream).constData(), demuxer, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the bitstream %1 (%2)").arg(native(request.bitstream), errorText(ret));
    stream->reset(context);
    if (context->nb_streams != 1)
        return QStringLiteral("%1 is not an HEVC elementary stream").arg(native(request.bitstream));
    return QString();
}

// The first pass over the encoded stream: the pictures' order, the parameter sets for the
// container's sample description, and whether later ones differ.
QString Mux::scanBitstream()
{
    InputPtr stream;
    QString problem = openBitstream(&stream);
    PacketPtr packet(av_packet_alloc());
    if (problem.isEmpty() && !packet)
        problem = errorText(AVERROR(ENOMEM));
    while (problem.isEmpty() && !stopRequested()) {
        const int ret = av_read_frame(stream.get(), packet.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return QStringLiteral("reading the bitstream failed after %1 pictures (%2)").arg(order.units()).arg(errorText(ret));
        const char *data = reinterpret_cast<const char *>(packet->data);
        if (!order.addAccessUnit(data, packet->size))
            problem = QStringLiteral("the bitstream cannot be put in order: %1").arg(order.problem);
        const bool first = order.units() == 1;
        forEachNalUnit(data, packet->size, [&](int type, int layer, const char *nal, qsizetype size) {
            if (layer != 0 || !isParameterSet(type))
                return;
            const QByteArray bytes(nal, size);
            if (first)
                parameterSets.append(bytes);
            else if (!parameterSets.contains(bytes))
                parameterSetsChange = true;
        });
        if (problem.isEmpty() && first)
            problem = readVideoParameters(packet.get());
        av_packet_unref(packet.get());
    }
    if (problem.isEmpty() && !stopRequested() && !order.finish())
        problem = QStringLiteral("the bitstream cannot be put in order: %1").arg(order.problem);
    if (problem.isEmpty() && order.shown() == 0 && !stopRequested())
        problem = QStringLiteral("the bitstream %1 holds no picture").arg(native(request.bitstream));
    return problem;
}

// What the container says about the video (size, aspect ratio, colours, profile) comes from
// the stream itself: its first access unit, decoded once, and its parameter sets.
QString Mux::readVideoParameters(const AVPacket *first)
{
    bool sps = false, pps = false, vps = false;
    QByteArray extradata;
    for (const QByteArray &set : parameterSets) {
        const int type = H::nalType(set.constData());
        vps |= type == H::Vps;
        sps |= type == H::Sps;
        pps |= type == H::Pps;
        extradata += QByteArray("\0\0\0\1", 4) + set;
    }
    if (!vps || !sps || !pps)
        return QStringLiteral("the bitstream does not start with its parameter sets");

    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec)
        return QStringLiteral("this FFmpeg has no HEVC decoder");
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

// Gives each shown picture its time and works out how far decoding runs ahead of output.
QString Mux::planTimes()
{
    const int count = order.shown();
    const PictureTimes &pictures = request.pictures;
    if (pictures.timeBaseNum <= 0 || pictures.timeBaseDen <= 0)
        return QStringLiteral("the pictures' time base is not set");
    videoBase = AVRational{pictures.timeBaseNum, pictures.timeBaseDen};
    if (pictures.isEmpty()) {
        for (int k = 0; k < count; ++k)
            shown.append(k);
        videoEnd = count;
    } else {
        if (count > pictures.times.size())
            return QStringLiteral("the bitstream holds %1 pictures, but only %2 were given to the encoder")
                .arg(count).arg(pictures.times.size());
        shown = pictures.times.mid(0, count);
        videoEnd = count < pictures.times.size() ? pictures.times.at(count) : qMax(request.spanEnd, pictures.end());
        if (count < pictures.times.size())
            result.notes << QStringLiteral("The encoder coded %1 of the %2 pictures it was given: the "
                                           "output ends with the last of them.")
                                .arg(count).arg(pictures.times.size());
    }
    cutStart = request.cutStart && !request.input.isEmpty();
    cutEnd = (request.cutEnd || count < pictures.times.size()) && !request.input.isEmpty();
    // A picture without a timestamp, or one not after the picture before it, follows that
    // picture by the interval before; the first counts from zero then.
    if (shown.first() == AV_NOPTS_VALUE)
        shown[0] = 0;
    spanStart = request.spanStart == AV_NOPTS_VALUE ? shown.first() : qMin<qint64>(request.spanStart, shown.first());
    for (int k = 1; k < shown.size(); ++k) {
        if (shown.at(k) == AV_NOPTS_VALUE || shown.at(k) <= shown.at(k - 1)) {
            const qint64 step = k >= 2 ? shown.at(k - 1) - shown.at(k - 2) : 1;
            shown[k] = shown.at(k - 1) + qMax<qint64>(1, step);
        }
    }
    videoEnd = qMax(videoEnd, shown.last() + 1);

    // Decoding order must never put a picture's decoding time after its showing time: the
    // decoding times are the showing times, delayed by as many pictures as the stream reorders.
    int index = 0;
    for (int u = 0; u < order.units(); ++u)
        if (order.kind(u) == PictureOrder::Shown)
            reorderDelay = qMax(reorderDelay, index++ - order.outputPlace(u));

    if (shown.size() > 2) {
        const double mean = double(shown.last() - shown.first()) / (shown.size() - 1);
        for (int k = 1; k < shown.size() && !variableRate; ++k)
            variableRate = std::abs(double(shown.at(k) - shown.at(k - 1)) - mean) > 1.0 + mean / 1000;
    }
    return QString();
}

QString Mux::openInput()
{
    AVFormatContext *context = nullptr;
    int ret = avformat_open_input(&context, fileUrl(request.input).constData(), nullptr, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the input %1 (%2)").arg(native(request.input), errorText(ret));
    input.reset(context);
    ret = avformat_find_stream_info(context, nullptr);
    if (ret < 0)
        return QStringLiteral("cannot read the input %1 (%2)").arg(native(request.input), errorText(ret));
    // The same stream the decoder chose: the one the pictures came from.
    inputVideo = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);

    carriedIndex.assign(context->nb_streams, -1);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream *stream = context->streams[i];
        const bool demuxerSkips = stream->discard == AVDISCARD_ALL;   // a chapter track, say
        stream->discard = AVDISCARD_ALL;
        if (int(i) == inputVideo || demuxerSkips)
            continue;
        const QString problem = planStream(stream);
        if (!problem.isEmpty())
            return problem;
    }

    // Where the input is not cut, the output starts with the earliest of what it carries, so
    // that every stream keeps its offset from the others.
    origin = cutStart ? spanStart : shown.first();
    if (!cutStart)
        for (const Carried &stream : carried)
            if (stream.in->start_time != AV_NOPTS_VALUE)
                origin = qMin(origin, av_rescale_q_rnd(stream.in->start_time, stream.in->time_base,
                                                       videoBase, AV_ROUND_DOWN));
    for (Carried &stream : carried) {
        const AVRational base = stream.in->time_base;
        stream.origin = av_rescale_q(origin, videoBase, base);
        if (cutStart)
            stream.spanStart = av_rescale_q(spanStart, videoBase, base);
        if (cutEnd)
            stream.spanEnd = av_rescale_q(videoEnd, videoBase, base);
    }
    if (format.isIsoMedia())
        findFrameSizes();
    return QString();
}

// MP4 and QuickTime note how many samples an audio packet holds; where the input does not say
// (DTS, say), decoding its first packet tells.
void Mux::findFrameSizes()
{
    QList<int> unknown;
    for (const Carried &stream : carried) {
        const AVCodecParameters *parameters = stream.in->codecpar;
        if (!stream.audio && parameters->codec_type == AVMEDIA_TYPE_AUDIO && parameters->frame_size <= 0
            && av_get_bits_per_sample(parameters->codec_id) == 0)
            unknown << stream.in->index;
    }
    const QHash<int, int> sizes = AudioFrameSizes::read(request.input, unknown, input->nb_streams);
    for (auto size = sizes.begin(); size != sizes.end(); ++size)
        carried[size_t(carriedIndex[size.key()])].frameSize = size.value();
}

// The steady rate the pictures are shown at, as the input states it (its video stream's, e.g. a
// Matroska track's default duration), where every picture is within the rounding of the
// timestamps of where that rate puts it; else, for pictures at one unit of the time base each,
// that unit.
QString Mux::chooseRate()
{
    QList<AVRational> candidates;
    if (input && inputVideo >= 0)
        candidates << input->streams[inputVideo]->r_frame_rate << input->streams[inputVideo]->avg_frame_rate;
    candidates << av_inv_q(videoBase);
    rate = AVRational{0, 1};
    for (const AVRational candidate : candidates) {
        if (showsAt(shown, videoBase, candidate)) {
            av_reduce(&rate.num, &rate.den, candidate.num, candidate.den, INT_MAX);
            variableRate = false;
            break;
        }
    }
    // Otherwise the mean rate, as near as a fraction of moderate terms has it.
    if (rate.num == 0 && !variableRate && shown.size() > 1)
        rate = av_d2q(double(shown.size() - 1) / (double(shown.last() - shown.first()) * av_q2d(videoBase)), 1 << 20);
    return QString();
}

QString Mux::planStream(AVStream *stream)
{
    const AVCodecParameters *parameters = stream->codecpar;
    const QString described = StreamNames::inputStream(stream);
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
        result.notes << QStringLiteral("%1: left out, the output's video is the encoded one.").arg(described);
        return QString();
    }
    if (emptyStreams.contains(stream->index)) {
        result.notes << emptyStreams.value(stream->index);
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
            result.notes << QStringLiteral("%1: converted to AAC.").arg(cannot);
        else
            problem = entry.audio->problem;
    } else if (entry.treatment == ContainerFormat::ToText) {
        entry.text = std::make_unique<SubtitleConverter>();
        if (entry.text->open(parameters, stream->time_base, format.textSubtitleCodec()))
            result.notes << QStringLiteral("%1: converted to %2.")
                                .arg(cannot, StreamNames::codec(format.textSubtitleCodec()));
        else
            problem = entry.text->problem;
    }
    if (!problem.isEmpty()) {
        result.notes << QStringLiteral("%1 and cannot be converted (%2): left out.").arg(cannot, problem);
        return QString();
    }
    if (entry.treatment == ContainerFormat::LeaveOut) {
        // A timecode track or the like could go into some containers; no output carries one.
        if (parameters->codec_type == AVMEDIA_TYPE_DATA)
            result.notes << QStringLiteral("%1: left out (data streams are never carried).").arg(described);
        else
            result.notes << QStringLiteral("%1: left out.").arg(cannot);
        return QString();
    }
    stream->discard = AVDISCARD_DEFAULT;
    carriedIndex[stream->index] = int(carried.size());
    carried.push_back(std::move(entry));
    return QString();
}

QString Mux::createOutput()
{
    QString problem;
    temporary = ContainerMuxer::createHiddenSibling(request.output, QStringLiteral(".part"), &problem);
    if (temporary.isEmpty())
        return problem;
    const QByteArray url = fileUrl(temporary);
    AVFormatContext *context = nullptr;
    int ret = avformat_alloc_output_context2(&context, nullptr, format.muxerName(), url.constData());
    if (ret < 0)
        return errorText(ret);
    output.reset(context);

    problem = addVideoStream();
    if (!problem.isEmpty())
        return problem;
    for (Carried &stream : carried) {
        stream.out = avformat_new_stream(context, nullptr);
        if (!stream.out)
            return errorText(AVERROR(ENOMEM));
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
        copyMetadata(&stream.out->metadata, stream.in->metadata);
        if (format.isIsoMedia())
            keepIsoTrackNames(&stream.out->metadata, format.kind() == ContainerFormat::QuickTime);
    }
    if (input) {
        copyMetadata(&context->metadata, input->metadata);
        if (format.hasChapters())
            addChapters();
        else if (input->nb_chapters > 0)
            result.notes << QStringLiteral("The input's %1 cannot go into %2: left out.")
                                .arg(StreamNames::countOf(int(input->nb_chapters), "chapter", "chapters"), format.name());
    }

    ret = avio_open(&context->pb, url.constData(), AVIO_FLAG_WRITE);
    if (ret < 0)
        return errorText(ret);
    AVDictionary *options = nullptr;
    // The index before the media data, so that players start at once, also over a network.
    if (format.isIsoMedia())
        av_dict_set(&options, "movflags", "+faststart", 0);
    if (format.isBluRayTransport())
        av_dict_set(&options, "mpegts_m2ts_mode", "1", 0);
    ret = avformat_write_header(context, &options);
    av_dict_free(&options);
    if (ret < 0)
        return writeFailure(ret);
    return QString();
}

QString Mux::addVideoStream()
{
    videoOut = avformat_new_stream(output.get(), nullptr);
    if (!videoOut)
        return errorText(AVERROR(ENOMEM));
    const int ret = avcodec_parameters_copy(videoOut->codecpar, video);
    if (ret < 0)
        return errorText(ret);
    // 'hvc1' says that the sample description holds every parameter set, which every player
    // accepts; a stream whose parameter sets change keeps them in its samples ('hev1').
    videoOut->codecpar->codec_tag = 0;
    if (format.isIsoMedia())
        videoOut->codecpar->codec_tag = parameterSetsChange ? MKTAG('h', 'e', 'v', '1') : MKTAG('h', 'v', 'c', '1');
    videoOut->time_base = videoBase;
    videoOut->sample_aspect_ratio = video->sample_aspect_ratio;
    // Matroska states it as the track's default duration, which players and probes read.
    if (rate.num > 0)
        videoOut->avg_frame_rate = videoOut->r_frame_rate = rate;
    videoOut->disposition = AV_DISPOSITION_DEFAULT;
    if (input && inputVideo >= 0) {
        const AVStream *source = input->streams[inputVideo];
        copyMetadata(&videoOut->metadata, source->metadata);
        if (format.isIsoMedia())
            keepIsoTrackNames(&videoOut->metadata, format.kind() == ContainerFormat::QuickTime);
        copyDisplayMatrix(source, videoOut);
    }
    return QString();
}

// The input's chapters within the span, moved with the pictures.
void Mux::addChapters()
{
    AVFormatContext *context = output.get();
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter *chapter = input->chapters[i];
        const AVRational base = chapter->time_base;
        int64_t start = chapter->start, end = chapter->end;
        if (cutStart)
            start = qMax(start, av_rescale_q(spanStart, videoBase, base));
        if (cutEnd)
            end = qMin(end, av_rescale_q(videoEnd, videoBase, base));
        if (end <= start)
            continue;
        auto *copy = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!copy)
            return;
        const int64_t shift = av_rescale_q(origin, videoBase, base);
        copy->id = chapter->id;
        copy->time_base = base;
        copy->start = start - shift;
        copy->end = end - shift;
        copyMetadata(&copy->metadata, chapter->metadata);
        AVChapter **grown = static_cast<AVChapter **>(
            av_realloc_array(context->chapters, context->nb_chapters + 1, sizeof(AVChapter *)));
        if (!grown) {
            av_dict_free(&copy->metadata);
            av_free(copy);
            return;
        }
        context->chapters = grown;
        context->chapters[context->nb_chapters++] = copy;
    }
    carriedChapters = int(context->nb_chapters);
}

QString Mux::writeFailure(int code) const
{
    // A full disk shows as the file's own error; the muxer's code alone would say less.
    if (output && output->pb && output->pb->error < 0)
        code = output->pb->error;
    return errorText(code);
}

// Hands a packet to the muxer and counts it in *handed; what the muxer wrote of a stream it
// counts itself (AVStream::nb_frames), so that packets it refused show in the end.
QString Mux::writePacket(AVPacket *packet, AVRational from, int64_t *handed)
{
    av_packet_rescale_ts(packet, from, output->streams[packet->stream_index]->time_base);
    packet->pos = -1;
    ++*handed;
    const int ret = av_interleaved_write_frame(output.get(), packet);
    return ret < 0 ? refused(ret) : QString();
}

// The muxer refused a packet: this one, or one it held back to interleave. An error of the file
// itself (a full disk) ends the mux; otherwise the packet is left out and the mux goes on, and
// the count of each stream's packets says at the end whose it was.
QString Mux::refused(int code)
{
    if ((output->pb && output->pb->error < 0) || code == AVERROR(ENOMEM))
        return writeFailure(code);
    const QString reason = errorText(code);
    if (!refusals.contains(reason))
        refusals << reason;
    return QString();
}

// The second pass over the encoded stream and the one pass over the input, in step, so that
// the muxer holds few packets back whatever the length.
QString Mux::writeStreams()
{
    InputPtr stream;
    QString problem = openBitstream(&stream);
    PacketPtr videoPacket(av_packet_alloc()), inputPacket(av_packet_alloc());
    if (problem.isEmpty() && (!videoPacket || !inputPacket))
        problem = errorText(AVERROR(ENOMEM));
    bool videoReady = false, videoDone = false, inputReady = false, inputDone = !input;
    while (problem.isEmpty() && !stopRequested()) {
        if (!videoReady && !videoDone) {
            problem = nextVideoPacket(stream.get(), videoPacket.get(), &videoDone);
            videoReady = !videoDone;
        }
        if (problem.isEmpty() && !inputReady && !inputDone) {
            problem = nextInputPacket(inputPacket.get(), &inputDone);
            inputReady = !inputDone;
        }
        if (!problem.isEmpty() || (!videoReady && !inputReady))
            break;
        bool videoFirst = videoReady;
        if (videoReady && inputReady) {
            const AVStream *from = input->streams[inputPacket->stream_index];
            const int64_t inputTime = inputPacket->dts != AV_NOPTS_VALUE ? inputPacket->dts : inputPacket->pts;
            videoFirst = inputTime == AV_NOPTS_VALUE
                         || av_compare_ts(videoPacket->dts, videoBase, inputTime, from->time_base) <= 0;
        }
        if (videoFirst) {
            problem = writePacket(videoPacket.get(), videoBase, &videoHanded);
            videoReady = false;
        } else {
            problem = writeInputPacket(inputPacket.get());
            av_packet_unref(inputPacket.get());
            inputReady = false;
        }
    }
    if (problem.isEmpty() && !stopRequested())
        problem = flushConverters();
    if (problem.isEmpty() && !stopRequested())
        problem = finishOutput();
    return problem;
}

// Writes what the muxer still holds and the file's index. A packet refused on the way is left
// out as during the mux (the trailer, which would stop at it, finds none left); a picture that
// did not make it fails the mux, as the output would not be the encoded stream.
QString Mux::finishOutput()
{
    int64_t held = videoHanded;
    for (const Carried &stream : carried)
        held += stream.handed;
    int ret = 0;
    for (int64_t tries = 0; tries <= held && (ret = av_interleaved_write_frame(output.get(), nullptr)) < 0; ++tries) {
        const QString problem = refused(ret);
        if (!problem.isEmpty())
            return problem;
    }
    if (ret < 0)
        return writeFailure(ret);
    ret = av_write_trailer(output.get());
    if (ret < 0)
        return writeFailure(ret);
    if (output->pb) {
        avio_flush(output->pb);
        if (output->pb->error < 0)
            return writeFailure(output->pb->error);
    }
    if (videoOut->nb_frames < videoHanded)
        return QStringLiteral("%1 of the %2 pictures could not be written (%3)")
            .arg(videoHanded - videoOut->nb_frames).arg(videoHanded).arg(refusals.join(QStringLiteral("; ")));
    return QString();
}

// A stream is in the output when the muxer wrote a packet of it; attachments are in its header.
bool Mux::written(const Carried &stream) const
{
    return stream.out->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT || stream.out->nb_frames > 0;
}

QString Mux::emptyTrackNote(const Carried &stream) const
{
    const QString described = StreamNames::inputStream(stream.in);
    if (stream.handed == 0 && stream.oddDurations > 0)
        return QStringLiteral("%1: %2 before it starts (or would show for weeks), and %3 has no event that shows "
                              "for no time: left out.")
            .arg(described,
                 stream.oddDurations == 1 ? QStringLiteral("its one event ends")
                                          : QStringLiteral("each of its %1 events ends").arg(stream.oddDurations),
                 format.name());
    if (stream.handed == 0)
        return cutStart || cutEnd
            ? QStringLiteral("%1: none of its packets falls within the output's span: left out.").arg(described)
            : QStringLiteral("%1: the input holds no packets of it: left out.").arg(described);
    return QStringLiteral("%1: none of its %2 could be written (%3): left out.")
        .arg(described, StreamNames::countOf(stream.handed, "packet", "packets"), refusals.join(QStringLiteral("; ")));
}

// The notes on what the output lacks of what was meant to go in: packets the muxer refused, and
// more events of a stream whose durations could not be right than were named one by one.
void Mux::noteWhatWasLost()
{
    for (const Carried &stream : carried) {
        const QString described = StreamNames::inputStream(stream.in);
        if (stream.oddDurations > kOddDurationsNamed) {
            const bool text = stream.in->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
            result.notes << QStringLiteral("%1: %2 more %3 whose durations cannot be right: %4.")
                                .arg(described)
                                .arg(stream.oddDurations - kOddDurationsNamed)
                                .arg(QLatin1String(text ? "events" : "packets"),
                                     QLatin1String(text && !format.holdsZeroLengthSubtitles()
                                                       ? "left out" : "written with a duration of zero"));
        }
        if (!refusals.isEmpty() && stream.out->nb_frames < stream.handed)
            result.notes << QStringLiteral("%1: %2 of its %3 packets could not be written (%4): left out.")
                                .arg(described)
                                .arg(stream.handed - stream.out->nb_frames)
                                .arg(stream.handed)
                                .arg(refusals.join(QStringLiteral("; ")));
    }
}

QString Mux::nextVideoPacket(AVFormatContext *stream, AVPacket *packet, bool *done)
{
    for (;;) {
        const int ret = av_read_frame(stream, packet);
        if (ret == AVERROR_EOF) {
            *done = true;
            return unit == order.units() ? QString()
                                         : QStringLiteral("the bitstream %1 changed while it was muxed")
                                               .arg(native(request.bitstream));
        }
        if (ret < 0)
            return QStringLiteral("reading the bitstream failed after %1 pictures (%2)").arg(unit).arg(errorText(ret));
        const int current = unit++;
        if (current >= order.units())
            return QStringLiteral("the bitstream %1 changed while it was muxed").arg(native(request.bitstream));
        if (order.kind(current) != PictureOrder::Shown) {
            av_packet_unref(packet);
            continue;
        }

        const int place = order.outputPlace(current);
        const int index = decoded++;
        const qint64 firstStep = shown.size() > 1 ? shown.at(1) - shown.at(0) : 1;
        const qint64 decodeTime = index >= reorderDelay ? shown.at(index - reorderDelay)
                                                        : shown.first() - (reorderDelay - index) * firstStep;
        packet->stream_index = videoOut->index;
        packet->pts = shown.at(place) - origin;
        packet->dts = decodeTime - origin;
        packet->duration = (place + 1 < shown.size() ? shown.at(place + 1) : videoEnd) - shown.at(place);
        packet->flags = order.isRandomAccess(current) ? AV_PKT_FLAG_KEY : 0;

        if (format.isIsoMedia() && !parameterSetsChange) {
            // The sample description holds the parameter sets; the samples do without them.
            QByteArray kept;
            forEachNalUnit(reinterpret_cast<const char *>(packet->data), packet->size,
                           [&](int type, int layer, const char *nal, qsizetype size) {
                               if (layer != 0 || !isParameterSet(type))
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
        }
        return QString();
    }
}

QString Mux::nextInputPacket(AVPacket *packet, bool *done)
{
    for (;;) {
        const int ret = av_read_frame(input.get(), packet);
        if (ret == AVERROR_EOF) {
            *done = true;
            return QString();
        }
        if (ret < 0)
            return QStringLiteral("reading the input %1 failed (%2)").arg(native(request.input), errorText(ret));
        const int index = packet->stream_index < int(carriedIndex.size()) ? carriedIndex.at(packet->stream_index) : -1;
        if (index < 0) {
            av_packet_unref(packet);
            continue;
        }
        Carried &stream = carried.at(size_t(index));
        const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (time == AV_NOPTS_VALUE && (cutStart || cutEnd)) {
            av_packet_unref(packet);   // cannot be placed in the span
            continue;
        }
        if (time != AV_NOPTS_VALUE && time >= stream.spanEnd) {
            // Files interleave their streams within a few seconds; far beyond the span's end,
            // nothing more belongs to it.
            const int64_t margin = av_rescale_q(10, AVRational{1, 1}, stream.in->time_base);
            av_packet_unref(packet);
            if (time - stream.spanEnd > margin) {
                *done = true;
                return QString();
            }
            continue;
        }
        if (time != AV_NOPTS_VALUE && time < stream.spanStart) {
            // A line of text that is still showing where the span starts shows from there on.
            const int64_t end = time + packet->duration;
            if (!stream.textual || packet->duration <= 0 || isOddDuration(packet->duration, stream.in->time_base)
                || end <= stream.spanStart) {
                av_packet_unref(packet);
                continue;
            }
            packet->duration = end - stream.spanStart;
            packet->pts = packet->dts = stream.spanStart;
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

// One packet that cannot be right costs no more than itself: an event that ends before it starts
// (or would show for weeks) gets a duration of zero, where the container has one for text (else it
// is left out); any other packet a duration of zero. The first few are named, with their times in
// the input. packet: as read from the input, its times the input's.
OddDuration Mux::checkDuration(Carried &stream, AVPacket *packet)
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
        result.notes << QStringLiteral("%1: %2: %3.")
                            .arg(StreamNames::inputStream(stream.in), what,
                                 leaveOut ? QStringLiteral("left out, as %1 has no event that shows for no time").arg(format.name())
                                          : QStringLiteral("written with a duration of zero"));
    }
    if (leaveOut)
        return OddDuration::LeftOut;
    packet->duration = 0;
    return OddDuration::Zeroed;
}

QString Mux::writeInputPacket(AVPacket *packet)
{
    Carried &stream = carried.at(size_t(carriedIndex.at(packet->stream_index)));
    if (stream.audio)
        return convertAudio(stream, packet);
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
        return writePacket(converted.get(), stream.in->time_base, &stream.handed);
    }
    packet->stream_index = stream.out->index;
    return writePacket(packet, stream.in->time_base, &stream.handed);
}

// packet: the next one of the stream, or nullptr at the end, which drains the converter.
QString Mux::convertAudio(Carried &stream, const AVPacket *packet)
{
    QString problem;
    const AVRational base = stream.audio->encoder()->time_base;
    const int outIndex = stream.out->index;
    const bool ok = stream.audio->convert(packet, [&](AVPacket *encoded) {
        encoded->stream_index = outIndex;
        problem = writePacket(encoded, base, &stream.handed);
        return problem.isEmpty();
    });
    if (!ok && problem.isEmpty())
        problem = QStringLiteral("converting %1 failed: %2").arg(StreamNames::inputStream(stream.in), stream.audio->problem);
    return problem;
}

QString Mux::flushConverters()
{
    for (Carried &stream : carried) {
        const QString problem = stream.audio ? convertAudio(stream, nullptr) : QString();
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

// "Muxed into holiday.mp4: HEVC 1920x1080 29.97 fps (variable), audio AAC 48 kHz stereo (eng),
// 2 subtitle tracks, 12 chapters"
QString Mux::summary() const
{
    QString picture = QStringLiteral("HEVC %1x%2").arg(video->width).arg(video->height);
    if (shown.size() > 1) {
        const double shownRate = rate.num > 0 ? av_q2d(rate)
                                              : (shown.size() - 1) / (double(shown.last() - shown.first()) * av_q2d(videoBase));
        picture += QStringLiteral(" %1 fps").arg(QString::number(shownRate, 'f', 2).remove(QRegularExpression(QStringLiteral("\\.?0+$"))));
        if (variableRate)
            picture += QStringLiteral(" (variable)");
    }
    QStringList parts{picture};
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
    return QStringLiteral("Muxed into %1: %2").arg(QFileInfo(request.output).fileName(), parts.join(QStringLiteral(", ")));
}

} // namespace

MuxResult ContainerMuxer::mux(const MuxRequest &request, const std::atomic_bool *stop)
{
    return Mux(request, stop).run();
}

QString ContainerMuxer::createHiddenSibling(const QString &path, const QString &suffix, QString *problem)
{
    const QFileInfo info(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString random = QString::number(QRandomGenerator::global()->bounded(qint64(36) * 36 * 36 * 36 * 36 * 36), 36)
                                   .rightJustified(6, QLatin1Char('0'));
        const QString candidate = QStringLiteral("%1/.%2.%3%4").arg(info.absolutePath(), info.fileName(), random, suffix);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST)
            break;
    }
    *problem = QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}
