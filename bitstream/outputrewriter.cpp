#include "outputrewriter.h"

#include "avresources.h"

#include "nalunitreader.h"
#include "replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStringList>

#include <climits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

using namespace AvResources;

namespace {

constexpr int kIoBufferSize = 1 << 16;

struct OutputDeleter
{
    void operator()(AVFormatContext *context) const { avformat_free_context(context); }
};
struct IoDeleter
{
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FilterDeleter
{
    void operator()(AVBSFContext *filter) const { av_bsf_free(&filter); }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;
using IoPtr = std::unique_ptr<AVIOContext, IoDeleter>;
using FilterPtr = std::unique_ptr<AVBSFContext, FilterDeleter>;

// The layer-0 sequence parameter sets of one access unit; false when one is unreadable.
bool sequenceFormats(const char *data, qsizetype size, QList<SequenceFormat> *formats)
{
    qsizetype at = HevcByteStream::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size) {
        const qsizetype next = HevcByteStream::findNalUnit(data, size, at + 2);
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

QString countOf(int count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

// "8 columns and 8 rows", "8 rows", or empty.
QString columnsAndRows(int columns, int rows)
{
    QStringList parts;
    if (columns > 0)
        parts << countOf(columns, "column", "columns");
    if (rows > 0)
        parts << countOf(rows, "row", "rows");
    return parts.join(QStringLiteral(" and "));
}

QString codeName(int code, const QList<QPair<int, const char *>> &names)
{
    for (const auto &name : names)
        if (name.first == code)
            return QLatin1String(name.second);
    return QStringLiteral("code %1").arg(code);
}

// The colour part of the summary: a common system by its name, other codes one by one.
QString colourSummary(const OutputFacts &facts)
{
    struct System { int primaries, transfer, matrix; const char *name; };
    static const System systems[] = {
        {1, 1, 1, "BT.709"}, {5, 6, 5, "BT.601 625-line"}, {6, 6, 6, "BT.601 525-line"},
        {9, 14, 9, "BT.2020"}, {9, 16, 9, "BT.2100 PQ"}, {9, 18, 9, "BT.2100 HLG"},
    };
    for (const System &system : systems) {
        if (facts.colourPrimaries == system.primaries
            && facts.transferCharacteristics == system.transfer
            && facts.matrixCoefficients == system.matrix)
            return QStringLiteral("%1 colour").arg(QLatin1String(system.name));
    }
    static const QList<QPair<int, const char *>> primaries = {
        {1, "BT.709"}, {5, "BT.601 625-line"}, {6, "BT.601 525-line"}, {9, "BT.2020"},
        {11, "DCI-P3"}, {12, "Display P3"}};
    static const QList<QPair<int, const char *>> transfers = {
        {1, "BT.709"}, {6, "BT.601"}, {8, "linear"}, {13, "sRGB"}, {14, "BT.2020"},
        {15, "BT.2020 12-bit"}, {16, "PQ"}, {18, "HLG"}};
    static const QList<QPair<int, const char *>> matrices = {
        {0, "RGB"}, {1, "BT.709"}, {5, "BT.601 625-line"}, {6, "BT.601 525-line"},
        {9, "BT.2020"}, {10, "BT.2020 constant luminance"}};
    QStringList parts;
    if (facts.colourPrimaries != 2)
        parts << QStringLiteral("colour primaries ") + codeName(facts.colourPrimaries, primaries);
    if (facts.transferCharacteristics != 2)
        parts << QStringLiteral("transfer ") + codeName(facts.transferCharacteristics, transfers);
    if (facts.matrixCoefficients != 2)
        parts << QStringLiteral("matrix ") + codeName(facts.matrixCoefficients, matrices);
    return parts.join(QStringLiteral(", "));
}

// What to change, worked out from the facts and the stream's first sequence parameter set.
struct Plan
{
    int cropRight = -1, cropBottom = -1;     // luma samples; -1: keep
    int shownWidth = 0, shownHeight = 0;     // what will be shown
    AVRational rate{0, 1};
    AVRational sar{0, 1};
    bool fullRange = false;
    int primaries = -1, transfer = -1, matrix = -1;
    QList<SeiWriter::Message> seiMessages;   // added to every random-access picture
    QStringList parts;

    bool crops() const { return cropRight >= 0 || cropBottom >= 0; }
    bool empty() const
    {
        return !crops() && !rate.num && !sar.num && !fullRange && primaries < 0 && transfer < 0
            && matrix < 0 && seiMessages.isEmpty();
    }
};

// The crop on one axis: what lies beyond the shown size, in whole crop steps, so that no
// picture content is ever hidden. -1 when the current window already shows that much.
int axisCrop(int coded, int before, int after, int shown, int unit, int *kept, int *shownOut)
{
    *shownOut = coded - before - after;
    *kept = 0;
    if (shown <= 0 || coded - before <= shown)
        return -1;
    const int excess = coded - before - shown;
    const int crop = excess / unit * unit;
    *kept = excess - crop;
    if (crop == after)
        return -1;
    *shownOut = coded - before - crop;
    return crop;
}

QString checkFacts(const OutputFacts &facts)
{
    if (facts.shownWidth < 0 || facts.shownHeight < 0)
        return QStringLiteral("the size to show is negative");
    if (facts.frameRateNum < 0 || facts.frameRateDen < 0)
        return QStringLiteral("the picture rate is negative");
    if (facts.sarNum < 0 || facts.sarDen < 0)
        return QStringLiteral("the sample aspect ratio is negative");
    for (int code : {facts.colourPrimaries, facts.transferCharacteristics, facts.matrixCoefficients})
        if (code < 0 || code > 255)
            return QStringLiteral("colour code %1 is out of range").arg(code);
    return QString();
}

// The static HDR metadata: SEI messages for every random-access picture.
void planHdr(const OutputFacts &facts, Plan *plan)
{
    if (facts.masteringDisplay)
        plan->seiMessages << SeiWriter::Message(SeiWriter::MasteringDisplayColourVolume,
                                                SeiWriter::payload(*facts.masteringDisplay));
    if (facts.contentLightLevel)
        plan->seiMessages << SeiWriter::Message(SeiWriter::ContentLightLevelInfo,
                                                SeiWriter::payload(*facts.contentLightLevel));
}

// The summary's words for the HDR metadata: what was added, and what the encoder had written
// itself and was kept instead.
QStringList hdrSummary(const OutputFacts &facts, const QSet<int> &added, const QSet<int> &kept)
{
    QStringList parts;
    if (added.contains(SeiWriter::MasteringDisplayColourVolume))
        parts << QStringLiteral("mastering display %1 to %2 cd/m2")
                     .arg(facts.masteringDisplay->minLuminance / 10000.0)
                     .arg(facts.masteringDisplay->maxLuminance / 10000.0);
    if (added.contains(SeiWriter::ContentLightLevelInfo))
        parts << QStringLiteral("light level %1/%2 cd/m2 (MaxCLL/MaxFALL)")
                     .arg(facts.contentLightLevel->maxContentLight)
                     .arg(facts.contentLightLevel->maxPictureAverageLight);
    if (kept.contains(SeiWriter::MasteringDisplayColourVolume))
        parts << QStringLiteral("the encoder's own mastering display kept");
    if (kept.contains(SeiWriter::ContentLightLevelInfo))
        parts << QStringLiteral("the encoder's own light level kept");
    return parts;
}

Plan makePlan(const OutputFacts &facts, const SequenceFormat &format)
{
    Plan plan;
    int keptColumns = 0, keptRows = 0;
    plan.cropRight = axisCrop(format.codedWidth, format.cropLeft, format.cropRight,
                              facts.shownWidth, format.cropUnitX(), &keptColumns, &plan.shownWidth);
    plan.cropBottom = axisCrop(format.codedHeight, format.cropTop, format.cropBottom,
                               facts.shownHeight, format.cropUnitY(), &keptRows, &plan.shownHeight);
    if (plan.crops() || keptColumns || keptRows) {
        QString part = QStringLiteral("Output shown at %1x%2").arg(plan.shownWidth).arg(plan.shownHeight);
        QStringList notes;
        const QString cropped = columnsAndRows(plan.cropRight > 0 ? plan.cropRight : 0,
                                               plan.cropBottom > 0 ? plan.cropBottom : 0);
        if (!cropped.isEmpty())
            notes << cropped + QStringLiteral(" of padding cropped");
        if (keptColumns || keptRows)
            notes << QStringLiteral("%1 left: %2 crops in steps of %3")
                         .arg(columnsAndRows(keptColumns, keptRows), format.chromaName())
                         .arg(keptColumns ? format.cropUnitX() : format.cropUnitY());
        plan.parts << part + QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + QLatin1Char(')');
    }

    if (facts.frameRateNum > 0 && facts.frameRateDen > 0) {
        av_reduce(&plan.rate.num, &plan.rate.den, facts.frameRateNum, facts.frameRateDen, INT_MAX);
        plan.parts << (plan.rate.den == 1 ? QStringLiteral("%1 fps").arg(plan.rate.num)
                                          : QStringLiteral("%1/%2 fps").arg(plan.rate.num).arg(plan.rate.den));
    }
    if (facts.sarNum > 0 && facts.sarDen > 0) {
        AVRational sar;
        av_reduce(&sar.num, &sar.den, facts.sarNum, facts.sarDen, 65535);
        if (sar.num != sar.den) {
            plan.sar = sar;
            plan.parts << QStringLiteral("SAR %1:%2").arg(sar.num).arg(sar.den);
        }
    }
    if (facts.fullRange) {
        plan.fullRange = true;
        plan.parts << QStringLiteral("full range");
    }
    if (facts.colourPrimaries != 2)
        plan.primaries = facts.colourPrimaries;
    if (facts.transferCharacteristics != 2)
        plan.transfer = facts.transferCharacteristics;
    if (facts.matrixCoefficients != 2)
        plan.matrix = facts.matrixCoefficients;
    if (plan.primaries >= 0 || plan.transfer >= 0 || plan.matrix >= 0)
        plan.parts << colourSummary(facts);
    planHdr(facts, &plan);
    return plan;
}

QString summaryOf(const Plan &plan)
{
    const QString text = plan.parts.join(QStringLiteral(", "));
    if (plan.parts.isEmpty())
        return QStringLiteral("Output left as encoded: nothing to change");
    if (plan.parts.first().startsWith(QLatin1String("Output ")))
        return text;
    return QStringLiteral("Output set to ") + text;
}

int configureFilter(AVBSFContext *filter, const Plan &plan)
{
    void *options = filter->priv_data;
    int ret = 0;
    if (plan.cropRight >= 0 && (ret = av_opt_set_int(options, "crop_right", plan.cropRight, 0)) < 0)
        return ret;
    if (plan.cropBottom >= 0 && (ret = av_opt_set_int(options, "crop_bottom", plan.cropBottom, 0)) < 0)
        return ret;
    if (plan.rate.num) {
        // The clock tick is one picture. Whether the encoder counts pictures in steps of one
        // is not known here, so any claim that picture order follows the clock is withdrawn.
        ret = av_opt_set_q(options, "tick_rate", plan.rate, 0);
        if (ret < 0)
            return ret;
        ret = av_opt_set_int(options, "num_ticks_poc_diff_one", 0, 0);
        if (ret < 0)
            return ret;
    }
    if (plan.sar.num && (ret = av_opt_set_q(options, "sample_aspect_ratio", plan.sar, 0)) < 0)
        return ret;
    if (plan.fullRange && (ret = av_opt_set_int(options, "video_full_range_flag", 1, 0)) < 0)
        return ret;
    if (plan.primaries >= 0 && (ret = av_opt_set_int(options, "colour_primaries", plan.primaries, 0)) < 0)
        return ret;
    if (plan.transfer >= 0
        && (ret = av_opt_set_int(options, "transfer_characteristics", plan.transfer, 0)) < 0)
        return ret;
    if (plan.matrix >= 0 && (ret = av_opt_set_int(options, "matrix_coefficients", plan.matrix, 0)) < 0)
        return ret;
    return 0;
}

// The muxer writes through this into the QSaveFile, which owns the temporary file.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeToSaveFile(void *opaque, const uint8_t *data, int size)
#else
int writeToSaveFile(void *opaque, uint8_t *data, int size)
#endif
{
    auto *file = static_cast<QSaveFile *>(opaque);
    // A short write is retried, so that a full disk shows up as the file's error.
    for (int done = 0; done < size;) {
        const qint64 written = file->write(reinterpret_cast<const char *>(data) + done, size - done);
        if (written <= 0)
            return AVERROR(EIO);
        done += int(written);
    }
    return size;
}

// A byte stream of NAL units starts with a start code, after any number of zero bytes.
bool startsWithStartCode(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(kIoBufferSize);
    const qsizetype at = HevcByteStream::findNalUnit(head.constData(), head.size(), 0);
    if (at < 0)
        return false;
    for (qsizetype i = 0; i < at - 3; ++i)
        if (head.at(i) != 0)
            return false;
    return true;
}

class Rewrite
{
public:
    Rewrite(const QString &path, const OutputFacts &facts) : path(path), facts(facts) {}

    RewriteResult run()
    {
        RewriteResult result;
        const QString problem = process();
        if (!problem.isEmpty()) {
            result.error = QStringLiteral("Cannot rewrite %1: %2")
                               .arg(QDir::toNativeSeparators(path), problem);
            return result;
        }
        result.rewritten = !plan.empty();
        plan.parts += hdrSummary(facts, seiAdded, seiKept);
        result.summary = summaryOf(plan);
        return result;
    }

private:
    QString process();
    QString openInput();
    QString writeOutput(QSaveFile *file);
    QString filterPacket(AVPacket *packet);
    QString drainFilter();
    QString checkNothingLost(QSaveFile *file);
    QString addSei(AVPacket *packet);

    const QString path;
    const OutputFacts facts;
    Plan plan;
    SequenceFormat format;
    InputPtr input;
    QSaveFile *saveFile = nullptr;
    IoPtr io;           // outlives the muxer that writes through it
    OutputPtr output;
    FilterPtr filter;
    PacketPtr first;
    qint64 pictures = 0;
    QSet<int> seiAdded;     // payload types added to some random-access picture
    QSet<int> seiKept;      // payload types the encoder had written there itself
};

QString Rewrite::process()
{
    const QString factProblem = checkFacts(facts);
    if (!factProblem.isEmpty())
        return factProblem;
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("the file does not exist");
    if (!info.isFile())
        return QStringLiteral("it is not a file");
    if (info.size() == 0)
        return QStringLiteral("the file is empty");
    if (!startsWithStartCode(path))
        return QStringLiteral("it is not an HEVC elementary stream (no start code at the beginning)");

    QString problem = openInput();
    if (!problem.isEmpty())
        return problem;
    plan = makePlan(facts, format);
    if (plan.empty())
        return QString();

    // Unbuffered: a buffered write that fails only when the file is committed is not
    // reported by QSaveFile, which would then put a cut-short file in place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    problem = writeOutput(&file);
    // Nothing writes into the file any more, and the input is closed before the temporary
    // file takes its place.
    output.reset();
    io.reset();
    input.reset();
    if (problem.isEmpty())
        problem = ReplaceFile::syncToDisk(&file);
    if (problem.isEmpty())
        problem = checkNothingLost(&file);
    if (!problem.isEmpty()) {
        file.cancelWriting();
        return problem;
    }
    ReplaceFile::keepModeOf(path, &file);
    if (!file.commit())
        return file.errorString();
    return QString();
}

// The rewrite may change parameter sets and add SEI messages, nothing else: every other NAL
// unit of the encoder's stream must be in the new file byte for byte and in order, and every
// parameter set in its place. A unit the filter could not parse (another layer, a temporal id
// of zero, the forbidden bit set) would otherwise be dropped without a word.
QString Rewrite::checkNothingLost(QSaveFile *file)
{
    using H = HevcByteStream;
    QFile original(path);
    if (!original.open(QIODevice::ReadOnly))
        return original.errorString();
    // The temporary file, read back through a second descriptor of its own.
    QFile rewritten(QStringLiteral("/proc/self/fd/%1").arg(file->handle()));
    if (!rewritten.open(QIODevice::ReadOnly))
        return QStringLiteral("the rewritten stream cannot be read back (%1)").arg(rewritten.errorString());

    const auto isParameterSet = [](int type) { return type >= H::Vps && type <= H::Pps; };
    const auto withoutTrailingZeros = [](const QByteArray &bytes) {
        qsizetype end = bytes.size();
        while (end > 0 && bytes.at(end - 1) == 0)
            --end;
        return QByteArrayView(bytes.constData(), end);
    };
    NalUnitReader before(&original, NalUnitReader::Whole), after(&rewritten, NalUnitReader::Whole);
    NalUnit wanted, found;
    qint64 index = 0;
    bool pending = before.next(&wanted);
    while (after.next(&found)) {
        const bool same = pending
            && (isParameterSet(wanted.type) ? wanted.bytes.left(2) == found.bytes.left(2)
                                            : withoutTrailingZeros(wanted.bytes) == withoutTrailingZeros(found.bytes));
        if (same) {
            pending = before.next(&wanted);
            ++index;
        } else if (found.type != H::PrefixSei && found.type != H::SuffixSei) {
            break;
        }
    }
    if (!before.problem.isEmpty())
        return before.problem;
    if (!after.problem.isEmpty())
        return QStringLiteral("the rewritten stream cannot be read back (%1)").arg(after.problem);
    if (!pending)
        return QString();
    return QStringLiteral("NAL unit %1 of the stream (type %2, layer %3, temporal id + 1 = %4%5, at byte %6) "
                          "would not have come through unchanged")
        .arg(index + 1).arg(wanted.type).arg(wanted.layer).arg(wanted.temporalIdPlus1)
        .arg(wanted.damaged ? QStringLiteral(", forbidden bit set") : QString())
        .arg(wanted.offset);
}

QString Rewrite::openInput()
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
    format = formats.first();
    return QString();
}

QString Rewrite::writeOutput(QSaveFile *file)
{
    const AVBitStreamFilter *kind = av_bsf_get_by_name("hevc_metadata");
    if (!kind)
        return QStringLiteral("this FFmpeg has no hevc_metadata bitstream filter");
    AVBSFContext *filterContext = nullptr;
    int ret = av_bsf_alloc(kind, &filterContext);
    if (ret < 0)
        return errorText(ret);
    filter.reset(filterContext);
    const AVStream *inStream = input->streams[0];
    ret = avcodec_parameters_copy(filter->par_in, inStream->codecpar);
    if (ret < 0)
        return errorText(ret);
    filter->time_base_in = inStream->time_base;
    ret = configureFilter(filter.get(), plan);
    if (ret < 0)
        return QStringLiteral("the metadata filter refused a setting (%1)").arg(errorText(ret));
    ret = av_bsf_init(filter.get());
    if (ret < 0)
        return QStringLiteral("the metadata filter did not start (%1)").arg(errorText(ret));

    AVFormatContext *outputContext = nullptr;
    ret = avformat_alloc_output_context2(&outputContext, nullptr, "hevc", nullptr);
    if (ret < 0)
        return errorText(ret);
    output.reset(outputContext);
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!buffer)
        return errorText(AVERROR(ENOMEM));
    saveFile = file;
    io.reset(avio_alloc_context(buffer, kIoBufferSize, 1, file, nullptr, writeToSaveFile, nullptr));
    if (!io) {
        av_free(buffer);
        return errorText(AVERROR(ENOMEM));
    }
    output->pb = io.get();
    output->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream *outStream = avformat_new_stream(output.get(), nullptr);
    if (!outStream)
        return errorText(AVERROR(ENOMEM));
    ret = avcodec_parameters_copy(outStream->codecpar, filter->par_out);
    if (ret < 0)
        return errorText(ret);
    outStream->time_base = filter->time_base_out;
    // The muxer insists on a picture size, which the demuxer leaves unset without probing.
    if (outStream->codecpar->width <= 0 || outStream->codecpar->height <= 0) {
        outStream->codecpar->width = format.codedWidth;
        outStream->codecpar->height = format.codedHeight;
    }
    ret = avformat_write_header(output.get(), nullptr);
    if (ret < 0)
        return errorText(ret);

    QString problem = filterPacket(first.get());
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return errorText(AVERROR(ENOMEM));
    while (problem.isEmpty()) {
        ret = av_read_frame(input.get(), packet.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0)
            return QStringLiteral("reading after picture %1 failed (%2)").arg(pictures).arg(errorText(ret));
        problem = filterPacket(packet.get());
    }
    if (problem.isEmpty())
        problem = drainFilter();
    if (!problem.isEmpty())
        return problem;
    ret = av_write_trailer(output.get());
    if (ret < 0)
        return errorText(ret);
    avio_flush(io.get());
    if (io->error < 0)
        return file->error() != QFileDevice::NoError ? file->errorString() : errorText(io->error);
    return QString();
}

QString Rewrite::filterPacket(AVPacket *packet)
{
    if (plan.crops()) {
        // One crop is written into every sequence parameter set, so all must code the same size.
        QList<SequenceFormat> formats;
        if (!sequenceFormats(reinterpret_cast<const char *>(packet->data), packet->size, &formats))
            return QStringLiteral("the sequence parameter set of picture %1 is unreadable").arg(pictures + 1);
        for (const SequenceFormat &later : formats)
            if (!later.sameCoding(format) || later.cropLeft != format.cropLeft
                || later.cropTop != format.cropTop)
                return QStringLiteral("the picture format changes at picture %1 (%2, first %3)")
                    .arg(pictures + 1).arg(later.describe(), format.describe());
    }
    int ret = av_bsf_send_packet(filter.get(), packet);
    av_packet_unref(packet);
    if (ret < 0)
        return QStringLiteral("picture %1 could not be rewritten (%2)").arg(pictures + 1).arg(errorText(ret));
    return drainFilter();
}

QString Rewrite::drainFilter()
{
    PacketPtr out(av_packet_alloc());
    if (!out)
        return errorText(AVERROR(ENOMEM));
    for (;;) {
        int ret = av_bsf_receive_packet(filter.get(), out.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return QString();
        if (ret < 0)
            return QStringLiteral("picture %1 could not be rewritten (%2)").arg(pictures + 1).arg(errorText(ret));
        if (!plan.seiMessages.isEmpty()) {
            const QString problem = addSei(out.get());
            if (!problem.isEmpty())
                return problem;
        }
        // The raw muxer writes bytes only, but the muxing layer wants rising timestamps; the
        // raw demuxer's are guesses anyway.
        out->stream_index = 0;
        out->pts = out->dts = pictures;
        out->duration = 1;
        ret = av_write_frame(output.get(), out.get());
        av_packet_unref(out.get());
        if (ret < 0)
            return saveFile->error() != QFileDevice::NoError ? saveFile->errorString() : errorText(ret);
        ++pictures;
    }
}

// Adds the SEI messages to an access unit of a random-access picture as one prefix SEI NAL
// unit right before its first slice, after the parameter sets and any prefix SEI units the
// encoder wrote. A message of a type the encoder already put there is left out: the encoder's
// configuration asked for it.
QString Rewrite::addSei(AVPacket *packet)
{
    using H = HevcByteStream;
    const char *data = reinterpret_cast<const char *>(packet->data);
    const qsizetype size = packet->size;
    QList<int> present;
    qsizetype at = H::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size && H::nalType(data + at) >= H::Vps) {
        const qsizetype next = H::findNalUnit(data, size, at + 2);
        if (H::nalType(data + at) == H::PrefixSei && H::nalLayer(data + at) == 0)
            present += SeiWriter::payloadTypes(data + at, (next < 0 ? size : next - 3) - at);
        at = next;
    }
    if (at < 0 || at + 2 > size || !H::isIrap(H::nalType(data + at)) || H::nalLayer(data + at) != 0)
        return QString();
    QList<SeiWriter::Message> messages;
    for (const SeiWriter::Message &message : plan.seiMessages) {
        if (present.contains(message.first)) {
            seiKept.insert(message.first);
        } else {
            seiAdded.insert(message.first);
            messages << message;
        }
    }
    if (messages.isEmpty())
        return QString();

    // Before the slice's start code; a zero byte in front of it stays where it is.
    const QByteArray unit = QByteArray("\0\0\1", 3) + SeiWriter::prefixNalUnit(messages);
    const qsizetype insertAt = at - 3;
    const int oldSize = packet->size;
    int ret = av_packet_make_writable(packet);
    if (ret >= 0)
        ret = av_grow_packet(packet, int(unit.size()));
    if (ret < 0)
        return QStringLiteral("picture %1 could not be rewritten (%2)").arg(pictures + 1).arg(errorText(ret));
    std::memmove(packet->data + insertAt + unit.size(), packet->data + insertAt, size_t(oldSize - insertAt));
    std::memcpy(packet->data + insertAt, unit.constData(), size_t(unit.size()));
    return QString();
}

} // namespace

RewriteResult OutputRewriter::rewrite(const QString &bitstreamPath, const OutputFacts &facts)
{
    return Rewrite(bitstreamPath, facts).run();
}

