#include "lastpicturecheck.h"

#include "picturedigest.h"

#include "bitstream/avresources.h"
#include "bitstream/hevcbytestream.h"
#include "bitstream/librarylog.h"
#include "bitstream/nalunitreader.h"
#include "bitstream/seiwriter.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

using H = HevcByteStream;

constexpr int kFillerData = 38;            // NAL unit type
// Bytes of all ones put after the end of the file in the second decode: a decoder that runs
// past the end of a slice meets them instead of the zeros it otherwise reads there.
constexpr int kFillBytes = 256;
// The file is read backwards from its end in pieces growing from the first to the largest
// size, until the last random-access picture is among what was read.
constexpr qint64 kFirstPiece = 1 << 20;
constexpr qint64 kLargestPiece = 64 << 20;
const QByteArray startCode("\0\0\1", 3);

// A NAL unit as the backward reading finds it.
struct NalRecord
{
    qint64 start = 0;          // of its start code
    int type = -1;             // -1: the file ends before its two-byte header does
    int layer = 0;
    int temporalId = 0;
    bool firstSlice = false;   // a slice with first_slice_segment_in_pic_flag set
};

struct Range
{
    qint64 start = 0;          // of the start code
    qint64 end = 0;            // where the next start code begins, or the content's end
};

struct AccessUnit
{
    qint64 start = 0;          // of its first NAL unit's start code
    bool partial = false;      // it began before the part of the file that was read
    bool picture = false;      // a slice of the base layer came
    bool irap = false;
    bool rasl = false;         // a leading picture that refers to pictures before its IRAP
    bool nonReference = false; // a sub-layer non-reference picture
    int temporalId = 0;
    QList<Range> suffixSei;    // SEI units after its slices
};

// The access units of the part of the file that was read.
struct Layout
{
    QList<AccessUnit> previous;   // from the random-access unit before the last one, up to it
    QList<AccessUnit> last;       // from the last random-access unit to the end
    AccessUnit current;
    bool started = false;
    int maxTemporalId = 0;
};

// The access units to decode: the last one is the stream's last.
struct Plan
{
    QList<AccessUnit> units;
    QList<bool> skipped;          // pictures nothing later refers to
    QByteArray sets;              // the stream's first parameter sets, to go first
    qint64 end = 0;               // the content's end
};

struct TailDecode
{
    QString error;                // why it stopped; empty when every unit decoded
    qint64 failedAt = -1;         // the access unit where it did
    bool pictured = false;        // the last access unit's picture came out
    QByteArray digest;            // of that picture's samples
};

bool stopped(const std::atomic_bool *stop)
{
    return stop && *stop;
}

bool opensAccessUnit(int type)
{
    return (type >= H::Vps && type <= H::Aud) || type == H::PrefixSei || (type >= 41 && type <= 44)
        || (type >= 48 && type <= 55);
}

bool isBaseSlice(const NalRecord &record)
{
    return record.layer == 0 && record.type >= 0 && record.type < H::Vps;
}

// The end of the file's content: zero bytes at the end belong to the byte stream, not to its
// last NAL unit. -1 when it cannot be read or the check was stopped.
qint64 contentEnd(QFile *file, const std::atomic_bool *stop)
{
    static const QByteArray zeros(int(kFirstPiece), '\0');
    qint64 end = file->size();
    while (end > 0) {
        const qint64 from = qMax<qint64>(0, end - kFirstPiece);
        if (stopped(stop) || !file->seek(from))
            return -1;
        const QByteArray piece = file->read(end - from);
        if (piece.size() != end - from)
            return -1;
        if (std::memcmp(piece.constData(), zeros.constData(), size_t(piece.size())) != 0) {
            qsizetype at = piece.size();
            while (piece.at(at - 1) == 0)
                --at;
            return from + at;
        }
        end = from;
    }
    return 0;
}

// The NAL units whose start codes begin in [from, to), read with the few bytes after `to` that
// their headers need (up to the content's end).
bool readRecords(QFile *file, qint64 from, qint64 to, qint64 end, QList<NalRecord> *records)
{
    const qint64 until = qMin(end, to + 6);
    if (!file->seek(from))
        return false;
    const QByteArray piece = file->read(until - from);
    if (piece.size() != until - from)
        return false;
    const char *data = piece.constData();
    for (qsizetype at = H::findNalUnit(data, piece.size(), 0); at >= 0; at = H::findNalUnit(data, piece.size(), at)) {
        NalRecord record;
        record.start = from + at - 3;
        if (record.start >= to)
            break;
        if (at + 1 < piece.size()) {
            record.type = H::nalType(data + at);
            record.layer = H::nalLayer(data + at);
            record.temporalId = qMax(0, H::nalTemporalIdPlus1(data + at) - 1);
            record.firstSlice = record.type < H::Vps && (at + 2 >= piece.size() || (uchar(data[at + 2]) & 0x80));
        }
        records->append(record);
    }
    return true;
}

void closeUnit(Layout *layout)
{
    if (!layout->started)
        return;
    if (layout->current.irap) {
        layout->previous.swap(layout->last);
        layout->last.clear();
    }
    layout->last.append(layout->current);
}

void take(Layout *layout, const QList<NalRecord> &records, qsizetype index, qint64 end)
{
    const NalRecord &record = records.at(index);
    const bool base = record.layer == 0 && record.type >= 0;
    AccessUnit &current = layout->current;
    if (base && (!layout->started || (current.picture && (record.firstSlice || opensAccessUnit(record.type))))) {
        closeUnit(layout);
        current = AccessUnit();
        current.start = record.start;
        layout->started = true;
    }
    if (record.firstSlice && base && !current.picture) {
        current.irap = H::isIrap(record.type);
        current.rasl = record.type == 8 || record.type == 9;
        current.nonReference = record.type < H::FirstIrap && record.type % 2 == 0;
        current.temporalId = record.temporalId;
        layout->maxTemporalId = qMax(layout->maxTemporalId, record.temporalId);
    }
    if (isBaseSlice(record))
        current.picture = true;
    else if (base && record.type == H::SuffixSei && current.picture)
        current.suffixSei << Range{record.start, index + 1 < records.size() ? records.at(index + 1).start : end};
}

// The access units from the records; when they do not start at the file's start, the unit of
// the first slice among them began earlier and stands only as the unit before the next.
Layout analyse(const QList<NalRecord> &records, bool fromStart, qint64 end)
{
    Layout layout;
    qsizetype i = 0;
    if (!fromStart) {
        while (i < records.size() && !isBaseSlice(records.at(i)))
            ++i;
        if (i == records.size())
            return layout;
        // Started, but without a picture yet: the first slice fills it in instead of opening
        // another unit.
        layout.started = true;
        layout.current.start = records.at(i).start;
        layout.current.partial = true;
    }
    for (; i < records.size(); ++i)
        take(&layout, records, i, end);
    closeUnit(&layout);
    return layout;
}

// Whether the layout reaches back to the random-access unit decoding must start from.
bool reachesDecodeStart(const Layout &layout)
{
    if (!layout.started)
        return false;
    const QList<AccessUnit> &from = layout.last.last().rasl && layout.last.first().irap ? layout.previous : layout.last;
    return !from.isEmpty() && from.first().irap && !from.first().partial
           && (layout.last.size() > 1 || !layout.previous.isEmpty());
}

// Reads the file backwards from its content's end until the last random-access picture (or
// the one before it, see makePlan) and the access unit before the last are among what was
// read. False when it cannot be read or the check was stopped.
bool readLayout(QFile *file, qint64 end, Layout *layout, NalRecord *lastRecord, const std::atomic_bool *stop)
{
    QList<NalRecord> records;
    qint64 piece = kFirstPiece;
    for (qint64 from = end; from > 0; piece = qMin(piece * 2, kLargestPiece)) {
        if (stopped(stop))
            return false;
        const qint64 start = qMax<qint64>(0, from - piece);
        QList<NalRecord> found;
        if (!readRecords(file, start, from, end, &found))
            return false;
        records = found + records;
        from = start;
        *layout = analyse(records, from == 0, end);
        if (from > 0 && reachesDecodeStart(*layout))
            break;
    }
    if (!records.isEmpty())
        *lastRecord = records.last();
    return true;
}

QByteArray readRange(QFile *file, qint64 start, qint64 end)
{
    return file->seek(start) ? file->read(end - start) : QByteArray();
}

bool hashed(QFile *file, const AccessUnit &unit)
{
    for (const Range &range : unit.suffixSei) {
        const QByteArray nal = readRange(file, range.start + 3, range.end);
        if (SeiWriter::payloadTypes(nal.constData(), nal.size()).contains(SeiWriter::DecodedPictureHash))
            return true;
    }
    return false;
}

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

// Whether an SEI NAL unit holds exactly the messages it declares and its closing stop bit:
// the sizes are explicit, so a unit cut anywhere falls short of them or of the stop bit.
bool seiWhole(const QByteArray &nal)
{
    return SeiWriter::messages(nal.constData(), nal.size()).whole;
}

bool fillerWhole(const QByteArray &nal)
{
    for (qsizetype i = 2; i + 1 < nal.size(); ++i)
        if (uchar(nal.at(i)) != 0xff)
            return false;
    return nal.size() > 2 && uchar(nal.back()) == 0x80;
}

// What the NAL units alone tell of the end: a unit cut in its header, an access unit without
// its picture, a last SEI or filler unit shorter than it declares, a picture hash gone.
QString structureProblem(QFile *file, const Layout &layout, const NalRecord &last, qint64 end)
{
    const qint64 header = last.start + 3;
    const bool closing = last.type == H::EndOfSequence || last.type == H::EndOfBitstream;
    if (last.type < 0 || (end - header < 3 && !closing))
        return QStringLiteral("it ends in the start code or the header of a NAL unit (from byte %1)").arg(last.start);
    const AccessUnit &unit = layout.last.last();
    if (!unit.picture)
        return QStringLiteral("its last access unit (from byte %1) has no picture: the file ends before its first "
                              "slice, in a NAL unit of type %2 (from byte %3)")
            .arg(unit.start).arg(last.type).arg(last.start);
    if (last.layer == 0 && (last.type == H::SuffixSei || last.type == kFillerData)) {
        const QByteArray nal = readRange(file, header, end);
        if (!(last.type == kFillerData ? fillerWhole(nal) : seiWhole(nal)))
            return QStringLiteral("its last NAL unit (type %1, from byte %2) is cut short: it holds less than it "
                                  "declares").arg(last.type).arg(last.start);
    }
    const AccessUnit *before = layout.last.size() > 1 ? &layout.last.at(layout.last.size() - 2)
                               : layout.previous.isEmpty() ? nullptr : &layout.previous.last();
    if (before && hashed(file, *before) && !hashed(file, unit))
        return QStringLiteral("its last picture (the access unit from byte %1) has no decoded picture hash, which the "
                              "picture before it has: the end of the access unit is missing")
            .arg(unit.start);
    return QString();
}

// From the last random-access picture, or from the one before when the last picture is a
// leading picture of the last one, which a decoder starting there skips. False when no
// decoder can show the last picture (it leads the first random-access picture read).
bool makePlan(const Layout &layout, qint64 end, Plan *plan)
{
    plan->units = layout.last;
    if (layout.last.last().rasl && layout.last.first().irap) {
        if (layout.previous.isEmpty() || !layout.previous.first().irap || layout.previous.first().partial)
            return false;
        plan->units = layout.previous + layout.last;
    }
    if (plan->units.first().partial)
        return false;
    plan->end = end;
    for (qsizetype i = 0; i < plan->units.size(); ++i) {
        const AccessUnit &unit = plan->units.at(i);
        plan->skipped << (i + 1 < plan->units.size() && unit.nonReference && unit.temporalId == layout.maxTemporalId);
    }
    return true;
}

// The parameter sets before the stream's first picture, each after a start code. They go
// first, for the streams that do not repeat them at every random-access picture.
QByteArray firstParameterSets(QFile *file)
{
    QByteArray sets;
    if (!file->seek(0))
        return sets;
    NalUnitReader reader(file);
    NalUnit unit;
    while (reader.next(&unit) && unit.type >= H::Vps) {
        if (unit.type <= H::Pps && unit.layer == 0)
            sets += startCode + withoutTrailingZeros(unit.bytes);
    }
    return sets;
}

int filledBuffer(AVCodecContext *context, AVFrame *frame, int flags)
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

// A decoder that fails on any error it detects, checks picture hash SEI, and fills every
// picture buffer with *filling before decoding into it.
AvResources::CodecPtr openDecoder(int *filling, QString *error)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AvResources::CodecPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!context) {
        *error = QStringLiteral("FFmpeg has no HEVC decoder");
        return nullptr;
    }
    context->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER;
    context->thread_count = 1;
    context->pkt_timebase = AVRational{1, 1};
    context->opaque = filling;
    context->get_buffer2 = filledBuffer;
    const int opened = avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        *error = AvResources::errorText(opened);
        return nullptr;
    }
    return context;
}

// Takes the pictures the decoder has ready; that of the last access unit is digested.
int receive(AVCodecContext *context, AVFrame *frame, qint64 lastIndex, TailDecode *result)
{
    for (;;) {
        const int received = avcodec_receive_frame(context, frame);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return 0;
        if (received < 0)
            return received;
        if (frame->pts == lastIndex) {
            result->pictured = true;
            result->digest = PictureDigest::of(frame);
        }
        av_frame_unref(frame);
    }
}

// The bytes of one access unit as a packet: the parameter sets in force go before the first.
QByteArray packetBytes(QFile *file, const Plan &plan, qsizetype index, bool fill)
{
    QByteArray bytes;
    if (index == 0)
        bytes = plan.sets;
    const qint64 start = plan.units.at(index).start;
    const qint64 end = index + 1 < plan.units.size() ? plan.units.at(index + 1).start : plan.end;
    if (!file->seek(start))
        return QByteArray();
    bytes += file->read(end - start);
    if (fill && index + 1 == plan.units.size())
        bytes += QByteArray(kFillBytes, '\xff');
    return bytes;
}

// Sends a packet (nullptr: the end) and takes what comes out; a decoder that wants its
// pictures taken first gets the packet again once they are.
int feed(AVCodecContext *context, const AVPacket *packet, AVFrame *frame, qint64 lastIndex, TailDecode *result)
{
    for (int attempt = 0;; ++attempt) {
        const int sent = avcodec_send_packet(context, packet);
        if (sent != AVERROR(EAGAIN) || attempt > 0)
            return sent < 0 ? sent : receive(context, frame, lastIndex, result);
        const int taken = receive(context, frame, lastIndex, result);
        if (taken < 0)
            return taken;
    }
}

// Decodes the plan's access units, one packet each; with fill, bytes of all ones follow the
// last one.
TailDecode decodeTail(const QString &path, const Plan &plan, int filling, bool fill, const std::atomic_bool *stop)
{
    TailDecode result;
    QStringList said;
    const LibraryLog::Scope scope([&said](const QString &line) { said << line; });
    AvResources::CodecPtr context = openDecoder(&filling, &result.error);
    QFile file(path);
    if (context && !file.open(QIODevice::ReadOnly))
        result.error = file.errorString();
    AvResources::PacketPtr packet(av_packet_alloc());
    AvResources::FramePtr frame(av_frame_alloc());
    if (!result.error.isEmpty() || !packet || !frame)
        return result;
    const qint64 lastIndex = plan.units.size() - 1;
    for (qsizetype i = 0; i <= lastIndex + 1; ++i) {
        if (stop && *stop)
            return TailDecode();
        if (i <= lastIndex && plan.skipped.at(i))
            continue;
        int status = 0;
        if (i <= lastIndex) {
            const QByteArray bytes = packetBytes(&file, plan, i, fill);
            status = bytes.isEmpty() ? AVERROR(EIO) : av_new_packet(packet.get(), int(bytes.size()));
            if (status >= 0) {
                std::memcpy(packet->data, bytes.constData(), size_t(bytes.size()));
                packet->pts = i;
                status = feed(context.get(), packet.get(), frame.get(), lastIndex, &result);
                av_packet_unref(packet.get());
            }
        } else {
            status = feed(context.get(), nullptr, frame.get(), lastIndex, &result);   // the pictures still held
        }
        if (status < 0) {
            result.error = said.isEmpty() ? AvResources::errorText(status) : said.last();
            result.failedAt = plan.units.at(qMin(i, lastIndex)).start;
            return result;
        }
    }
    return result;
}

// Decodes the tail as it is and, when the file ends in a slice, once more with ones after
// the end and differently filled buffers (on a second thread); the last picture must come out
// of both, the same.
QString decodeProblem(const QString &path, const Plan &plan, bool endsInSlice, const std::atomic_bool *stop)
{
    TailDecode filled;
    std::unique_ptr<QThread> second;
    if (endsInSlice) {
        second.reset(QThread::create([&] { filled = decodeTail(path, plan, 0xff, true, stop); }));
        second->start();
    }
    const TailDecode plain = decodeTail(path, plan, 0x00, false, stop);
    if (second)
        second->wait();
    if (stop && *stop)
        return QString();
    const qint64 start = plan.units.last().start;
    if (!plain.error.isEmpty())
        return QStringLiteral("its last pictures do not decode (at the access unit from byte %1): %2")
            .arg(plain.failedAt).arg(plain.error);
    if (!plain.pictured)
        return QStringLiteral("its last picture (the access unit from byte %1) does not come out of the decoder")
            .arg(start);
    if (endsInSlice && (!filled.error.isEmpty() || !filled.pictured || filled.digest != plain.digest))
        return QStringLiteral("its last picture (the access unit from byte %1) is not whole: decoding it needs bytes "
                              "past the end of the file, or leaves part of the picture undecoded")
            .arg(start);
    return QString();
}

} // namespace

QString LastPictureCheck::problem(const QString &path, const std::atomic_bool *stop)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 end = contentEnd(&file, stop);
    Layout layout;
    NalRecord last;
    if (end <= 0 || !readLayout(&file, end, &layout, &last, stop) || !layout.started)
        return QString();
    const QString structure = structureProblem(&file, layout, last, end);
    if (!structure.isEmpty())
        return structure;
    Plan plan;
    if (!makePlan(layout, end, &plan))
        return QString();
    plan.sets = firstParameterSets(&file);
    const bool endsInSlice = last.layer == 0 && last.type < H::Vps;
    return decodeProblem(path, plan, endsInSlice, stop);
}
