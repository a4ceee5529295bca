#include "lastpicturecheck.h"

#include "hevccodec.h"
#include "hevcbytestream.h"
#include "hevcdecoder.h"
#include "picturedigest.h"

#include "bitstream/bytestream.h"
#include "bitstream/nalunitreader.h"
#include "bitstream/seiwriter.h"

#include <QFile>
#include <QList>
#include <QThread>

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

using TailDecode = LastPictureCheck::Decoded;

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
qint64 findContentEnd(QFile *file, const std::atomic_bool *stop)
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
    for (qsizetype at = ByteStream::findNalUnit(data, piece.size(), 0); at >= 0;
         at = ByteStream::findNalUnit(data, piece.size(), at)) {
        NalRecord record;
        record.start = from + at - 3;
        if (record.start >= to)
            break;
        if (at + 1 < piece.size()) {
            record.type = H::nalType(data + at);
            record.layer = H::nalLayer(data + at);
            record.temporalId = qMax(0, H::nalTemporalIdPlus1(data + at) - 1);
            record.firstSlice = record.type < H::Vps && H::firstSliceInPicture(data + at, piece.size() - at).value_or(true);
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
QString unitsProblem(QFile *file, const Layout &layout, const NalRecord &last, qint64 end)
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
    NalUnitReader reader(file, HevcCodec::instance());
    NalUnit unit;
    while (reader.next(&unit) && unit.type >= H::Vps) {
        if (unit.type <= H::Pps && unit.layer == 0)
            sets += ByteStream::startCode() + ByteStream::withoutTrailingZeros(unit.bytes);
    }
    return sets;
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

// Decodes the plan's access units, one packet each; with fill, bytes of all ones follow the
// last one and every picture buffer is filled with ones before a picture is decoded into it.
// uncropped: the whole coded picture, as the decode of every picture gives it (StreamDecodeCheck).
TailDecode decodeTail(const QString &path, const Plan &plan, bool fill, const std::atomic_bool *stop,
                      bool uncropped = false)
{
    TailDecode result;
    HevcDecoder::Setup setup;
    setup.libraryHashCheck = true;
    setup.uncropped = uncropped;
    setup.filling = fill ? 0xff : 0x00;
    HevcDecoder decoder(setup);
    QFile file(path);
    if (!decoder.isOpen())
        result.error = decoder.error();
    else if (!file.open(QIODevice::ReadOnly))
        result.error = file.errorString();
    if (!result.error.isEmpty())
        return result;
    const qint64 lastIndex = plan.units.size() - 1;
    const auto take = [&result, lastIndex](const AVFrame *picture) {
        if (picture->pts == lastIndex) {
            result.pictured = true;
            result.digest = PictureDigest::of(picture);
        }
    };
    for (qsizetype i = 0; i <= lastIndex + 1; ++i) {
        if (stop && *stop)
            return TailDecode();
        if (i <= lastIndex && plan.skipped.at(i))
            continue;
        // After the last unit, the pictures still held.
        const bool decoded = i <= lastIndex ? decoder.send(packetBytes(&file, plan, i, fill), i, take)
                                            : decoder.flush(take);
        if (!decoded) {
            result.error = decoder.error();
            result.failedAt = plan.units.at(qMin(i, lastIndex)).start;
            return result;
        }
    }
    return result;
}

// The verdict from the last picture decoded as it is (plain) and, when the file ends in a
// slice, once more with ones after the end in buffers filled otherwise (filled); start: where
// the last access unit begins.
LastPictureCheck::Verdict judged(const TailDecode &plain, const TailDecode &filled, qint64 start, bool cutInSlice)
{
    LastPictureCheck::Verdict verdict;
    verdict.cut = true;
    if (!plain.error.isEmpty() && (plain.failedAt != start || !cutInSlice)) {
        // Only the last access unit can be cut short: a picture before it is damaged.
        verdict.cut = false;
        verdict.problem = QStringLiteral("its picture in the access unit from byte %1 does not decode: %2")
                              .arg(plain.failedAt).arg(plain.error);
    } else if (!plain.error.isEmpty()) {
        verdict.problem = QStringLiteral("its last picture (the access unit from byte %1) does not decode: %2")
                              .arg(start).arg(plain.error);
    } else if (!plain.pictured) {
        verdict.problem = QStringLiteral("its last picture (the access unit from byte %1) does not come out of the "
                                         "decoder").arg(start);
    } else if (cutInSlice && (!filled.error.isEmpty() || !filled.pictured || filled.digest != plain.digest)) {
        verdict.problem = QStringLiteral("its last picture (the access unit from byte %1) is not whole: decoding it "
                                         "needs bytes past the end of the file, or leaves part of the picture "
                                         "undecoded").arg(start);
    }
    return verdict;
}

} // namespace

struct LastPictureCheck::End
{
    QString path;
    const std::atomic_bool *stop = nullptr;
    QFile file;
    qint64 end = 0;
    Layout layout;
    NalRecord last;
    bool read = false;
};

LastPictureCheck::LastPictureCheck(const QString &path, const std::atomic_bool *stop)
    : at(std::make_unique<End>())
{
    at->path = path;
    at->stop = stop;
    at->file.setFileName(path);
    if (!at->file.open(QIODevice::ReadOnly))
        return;
    at->end = findContentEnd(&at->file, stop);
    at->read = at->end > 0 && readLayout(&at->file, at->end, &at->layout, &at->last, stop) && at->layout.started;
}

LastPictureCheck::~LastPictureCheck() = default;

bool LastPictureCheck::readable() const
{
    return at->read;
}

qint64 LastPictureCheck::contentEnd() const
{
    return at->end;
}

bool LastPictureCheck::endsInSlice() const
{
    return at->read && isBaseSlice(at->last);
}

QString LastPictureCheck::structureProblem() const
{
    return at->read ? unitsProblem(&at->file, at->layout, at->last, at->end) : QString();
}

LastPictureCheck::Verdict LastPictureCheck::decodeProblem() const
{
    Plan plan;
    if (!at->read || !makePlan(at->layout, at->end, &plan))
        return Verdict();
    plan.sets = firstParameterSets(&at->file);
    const bool cutInSlice = endsInSlice();
    // The tail as it is and, when the file ends in a slice, once more with ones after the end
    // and differently filled buffers (on a second thread): the last picture must come out of
    // both, the same.
    TailDecode filled;
    std::unique_ptr<QThread> second;
    if (cutInSlice) {
        second.reset(QThread::create([&] { filled = decodeTail(at->path, plan, true, at->stop); }));
        second->start();
    }
    const TailDecode plain = decodeTail(at->path, plan, false, at->stop);
    if (second)
        second->wait();
    if (stopped(at->stop))
        return Verdict();
    return judged(plain, filled, plan.units.last().start, cutInSlice);
}

LastPictureCheck::Filled LastPictureCheck::decodeFilled() const
{
    Filled filled;
    Plan plan;
    if (!endsInSlice() || !makePlan(at->layout, at->end, &plan))
        return filled;
    plan.sets = firstParameterSets(&at->file);
    filled.decoded = decodeTail(at->path, plan, true, at->stop, true);
    filled.planned = true;
    filled.start = plan.units.last().start;
    return filled;
}

LastPictureCheck::Verdict LastPictureCheck::filledProblem(const Filled &filled, bool pictured,
                                                          const QByteArray &digest) const
{
    if (!filled.planned || stopped(at->stop))
        return Verdict();
    TailDecode whole;
    whole.pictured = pictured;
    whole.digest = digest;
    return judged(whole, filled.decoded, filled.start, true);
}
