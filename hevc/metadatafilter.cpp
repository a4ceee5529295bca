#include "metadatafilter.h"

#include "hevcbytestream.h"
#include "rewriteplan.h"

#include "bitstream/avresources.h"
#include "bitstream/bytestream.h"

#include <QByteArray>

#include <cstring>
#include <mutex>

#include <malloc.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

using namespace AvResources;

namespace {

int configureFilter(AVBSFContext *filter, const RewritePlan &plan)
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

// The filter allocates and clears room for 1,024 sets of buffering parameters, about 8 MB, for
// every video parameter set it reads, and frees it again. With the allocator's defaults a block
// that size is a fresh mapping, faulted in page by page, and a thread's arena gives the memory
// back as soon as it is freed: in a stream that repeats its parameter sets every intra period,
// that was most of the rewrite. From the first rewrite on, the allocator keeps such blocks.
void keepLargeBlocks()
{
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 16 << 20);
        mallopt(M_TRIM_THRESHOLD, 32 << 20);
    });
#endif
}

} // namespace

QString MetadataFilter::open(const AVStream *stream, const RewritePlan &plan)
{
    keepLargeBlocks();
    seiMessages = plan.seiMessages;
    const AVBitStreamFilter *kind = av_bsf_get_by_name("hevc_metadata");
    if (!kind)
        return QStringLiteral("this FFmpeg has no hevc_metadata bitstream filter");
    AVBSFContext *filterContext = nullptr;
    int ret = av_bsf_alloc(kind, &filterContext);
    if (ret < 0)
        return errorText(ret);
    filter.reset(filterContext);
    ret = avcodec_parameters_copy(filter->par_in, stream->codecpar);
    if (ret < 0)
        return errorText(ret);
    filter->time_base_in = stream->time_base;
    ret = configureFilter(filter.get(), plan);
    if (ret < 0)
        return QStringLiteral("the metadata filter refused a setting (%1)").arg(errorText(ret));
    ret = av_bsf_init(filter.get());
    if (ret < 0)
        return QStringLiteral("the metadata filter did not start (%1)").arg(errorText(ret));
    return QString();
}

int MetadataFilter::send(AVPacket *packet)
{
    return av_bsf_send_packet(filter.get(), packet);
}

int MetadataFilter::receive(AVPacket *packet)
{
    const int ret = av_bsf_receive_packet(filter.get(), packet);
    if (ret < 0 || seiMessages.isEmpty())
        return ret;
    return addSei(packet);
}

// Adds the SEI messages to an access unit of a random-access picture as one prefix SEI NAL
// unit right before its first slice, after the parameter sets and any prefix SEI units the
// encoder wrote. A message of a type the encoder already put there is left out: the encoder's
// configuration asked for it.
int MetadataFilter::addSei(AVPacket *packet)
{
    using H = HevcByteStream;
    const char *data = reinterpret_cast<const char *>(packet->data);
    const qsizetype size = packet->size;
    QList<int> present;
    qsizetype at = ByteStream::findNalUnit(data, size, 0);
    while (at >= 0 && at + 2 <= size && H::nalType(data + at) >= H::Vps) {
        const qsizetype next = ByteStream::findNalUnit(data, size, at + 2);
        if (H::nalType(data + at) == H::PrefixSei && H::nalLayer(data + at) == 0)
            present += SeiWriter::payloadTypes(data + at, (next < 0 ? size : next - 3) - at);
        at = next;
    }
    if (at < 0 || at + 2 > size || !H::isIrap(H::nalType(data + at)) || H::nalLayer(data + at) != 0)
        return 0;
    QList<SeiWriter::Message> messages;
    for (const SeiWriter::Message &message : seiMessages) {
        if (present.contains(message.first)) {
            kept.insert(message.first);
        } else {
            added.insert(message.first);
            messages << message;
        }
    }
    if (messages.isEmpty())
        return 0;

    // Before the slice's start code; a zero byte in front of it stays where it is.
    const QByteArray unit = ByteStream::startCode() + H::prefixSeiUnit(messages);
    const qsizetype insertAt = at - 3;
    const int oldSize = packet->size;
    int ret = av_packet_make_writable(packet);
    if (ret >= 0)
        ret = av_grow_packet(packet, int(unit.size()));
    if (ret < 0)
        return ret;
    std::memmove(packet->data + insertAt + unit.size(), packet->data + insertAt, size_t(oldSize - insertAt));
    std::memcpy(packet->data + insertAt, unit.constData(), size_t(unit.size()));
    return 0;
}
