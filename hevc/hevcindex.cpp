#include "hevcindex.h"

#include "hevccodec.h"
#include "hevcbytestream.h"
#include "parametersets.h"
#include "pictureorder.h"
#include "sliceheader.h"

#include "bitstream/bytestream.h"
#include "bitstream/nalunitreader.h"
#include "bitstream/seiwriter.h"

#include <QFile>

namespace {

using H = HevcByteStream;
using ByteStream::startCode;
using ByteStream::withoutTrailingZeros;

// The walk over a stream's NAL units, access unit by access unit.
class Walk
{
public:
    explicit Walk(StreamIndex *index) : index(index) {}

    bool take(const NalUnit &unit);
    bool finish();

    QList<qint64> firstNalUnits;   // the header offset of each access unit's first NAL unit

private:
    bool takeSet(const NalUnit &unit, const QByteArray &content);
    bool takeSlice(const NalUnit &unit, const QByteArray &content);
    bool closeUnit();

    StreamIndex *index;
    PictureOrder order;
    ParameterSets sets;
    StreamIndex::Unit current;
    QByteArray unitBytes;          // the access unit as far as it was read, for the picture order
    QList<StreamIndex::OrderField> pendingFields;
    bool started = false;
    bool firstSequenceOver = false;
    int lastType = -1;
};

bool Walk::take(const NalUnit &unit)
{
    const int type = unit.type;
    const bool base = unit.layer == 0;
    const bool firstSlice = type < H::Vps && H::firstSliceInPicture(unit.bytes.constData(), unit.bytes.size()).value_or(false);
    if (base && started && current.picture && (H::startsAccessUnit(type) || firstSlice) && !closeUnit())
        return false;
    if (unitBytes.isEmpty())
        firstNalUnits << unit.offset;
    started = true;
    // A slice held only in part may end in zero bytes of its own data.
    const QByteArray content = unit.whole ? withoutTrailingZeros(unit.bytes) : unit.bytes;
    unitBytes += startCode() + content;
    if (!base)
        return true;
    lastType = type;
    if (type == H::Vps || type == H::Sps || type == H::Pps)
        return takeSet(unit, content);
    if (type < H::Vps)
        return takeSlice(unit, content);
    if (type == H::SuffixSei && current.picture) {
        const SeiWriter::Messages messages = SeiWriter::messages(content.constData(), content.size());
        const qsizetype at = messages.types.indexOf(SeiWriter::DecodedPictureHash);
        if (at >= 0)
            current.hash = messages.payloads.at(at);
    }
    return true;
}

bool Walk::takeSet(const NalUnit &unit, const QByteArray &content)
{
    const int id = ParameterSets::idOf(content.constData(), content.size());
    if (id < 0 || !sets.take(content.constData(), content.size())) {
        index->problem = QStringLiteral("a parameter set (from byte %1) is unreadable").arg(unit.offset);
        return false;
    }
    const StreamIndex::SetKey key = unit.type << 8 | id;
    index->finalSets.insert(key, content);
    if (index->units.isEmpty())
        index->openingSets << qMakePair(key, content);
    return true;
}

bool Walk::takeSlice(const NalUnit &unit, const QByteArray &content)
{
    SliceHeader header;
    QString unread;
    if (!SliceHeader::read(sets, content.constData(), content.size(), &header, &unread)) {
        index->problem = QStringLiteral("the slice header from byte %1 %2").arg(unit.offset).arg(unread);
        return false;
    }
    if (!current.picture) {
        current.picture = true;
        current.nalType = unit.type;
        current.irap = H::isIrap(unit.type);
        if (H::isIrap(unit.type)) {
            for (auto set = index->finalSets.constBegin(); set != index->finalSets.constEnd(); ++set)
                current.sets += startCode() + set.value();
        }
    }
    if (firstSequenceOver)
        return true;
    index->longTermPictures = index->longTermPictures || header.longTermPictures;
    if (header.hasPocLsb) {
        StreamIndex::OrderField field;
        field.offset = unit.offset;
        field.head = content;
        field.whole = unit.whole;
        field.bitAt = header.pocLsbAt;
        field.bits = header.pocLsbBits;
        field.unit = int(index->units.size());
        pendingFields << field;
    }
    return true;
}

bool Walk::closeUnit()
{
    if (!order.addAccessUnit(unitBytes.constData(), unitBytes.size())) {
        index->problem = QStringLiteral("access unit %1: %2").arg(index->units.size() + 1).arg(order.problem);
        return false;
    }
    const int at = order.units() - 1;
    if (current.picture) {
        current.shown = order.kind(at) == PictureOrder::Shown;
        current.pictureOrderCount = order.pictureOrderCount(at);
        current.codedSequence = order.codedSequenceOf(at);
        if (current.codedSequence > 0)
            firstSequenceOver = true;
    }
    if (!firstSequenceOver)
        index->orderFields += pendingFields;
    index->units << current;
    current = StreamIndex::Unit();
    unitBytes.clear();
    pendingFields.clear();
    return true;
}

bool Walk::finish()
{
    if (started && !closeUnit())
        return false;
    index->endsSequence = lastType == H::EndOfSequence || lastType == H::EndOfBitstream;
    return true;
}

} // namespace

StreamIndex HevcIndex::read(const QString &path, const std::atomic_bool *stop)
{
    StreamIndex index;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        index.problem = file.errorString();
        return index;
    }
    index.size = file.size();
    Walk walk(&index);
    {
        NalUnitReader reader(&file, HevcCodec::instance(), NalUnitReader::Headers);
        NalUnit unit;
        for (qint64 count = 0; reader.next(&unit); ++count) {
            if (stop && *stop && count % 256 == 0) {
                index.problem = QStringLiteral("stopped");
                return index;
            }
            if (!walk.take(unit))
                return index;
        }
        if (!reader.problem.isEmpty()) {
            index.problem = reader.problem;
            return index;
        }
    }
    if (walk.finish() && !index.placeUnits(&file, walk.firstNalUnits))
        index.problem = file.errorString();
    return index;
}
