#include "segmentindex.h"

#include "bitstream/hevcbytestream.h"
#include "bitstream/nalunitreader.h"
#include "bitstream/parametersets.h"
#include "bitstream/pictureorder.h"
#include "bitstream/seiwriter.h"
#include "bitstream/sliceheader.h"

#include <QFile>

namespace {

using H = HevcByteStream;

const QByteArray startCode("\0\0\1", 3);

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

// The walk over a segment's NAL units, access unit by access unit.
class Walk
{
public:
    explicit Walk(SegmentIndex *index) : index(index) {}

    bool take(const NalUnit &unit);
    bool finish();

    QList<qint64> firstNalUnits;   // the header offset of each access unit's first NAL unit

private:
    bool takeSet(const NalUnit &unit, const QByteArray &content);
    bool takeSlice(const NalUnit &unit, const QByteArray &content);
    bool closeUnit();

    SegmentIndex *index;
    PictureOrder order;
    ParameterSets sets;
    SegmentIndex::Unit current;
    QByteArray unitBytes;          // the access unit as far as it was read, for the picture order
    QList<SegmentIndex::OrderField> pendingFields;
    bool started = false;
    bool firstSequenceOver = false;
    int lastType = -1;
};

bool Walk::take(const NalUnit &unit)
{
    const int type = unit.type;
    const bool base = unit.layer == 0;
    const bool firstSlice = type < H::Vps && unit.bytes.size() > 2 && (uchar(unit.bytes.at(2)) & 0x80);
    if (base && started && current.picture && (H::startsAccessUnit(type) || firstSlice) && !closeUnit())
        return false;
    if (unitBytes.isEmpty())
        firstNalUnits << unit.offset;
    started = true;
    // A slice held only in part may end in zero bytes of its own data.
    const QByteArray content = unit.whole ? withoutTrailingZeros(unit.bytes) : unit.bytes;
    unitBytes += startCode + content;
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
    const SegmentIndex::SetKey key = unit.type << 8 | id;
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
        if (H::isIrap(unit.type)) {
            for (auto set = index->finalSets.constBegin(); set != index->finalSets.constEnd(); ++set)
                current.sets += startCode + set.value();
        }
    }
    if (firstSequenceOver)
        return true;
    index->longTermPictures = index->longTermPictures || header.longTermPictures;
    if (header.hasPocLsb) {
        SegmentIndex::OrderField field;
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
    current = SegmentIndex::Unit();
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

// Where each access unit starts and ends: from the zero bytes before its first start code,
// which belong to it (a four-byte start code's leading zero among them), to the next one's.
bool placeUnits(QFile *file, const QList<qint64> &firstNalUnits, SegmentIndex *index)
{
    for (qsizetype i = 0; i < index->units.size(); ++i) {
        qint64 start = i == 0 ? 0 : firstNalUnits.at(i) - 3;
        while (start > 0) {
            const qint64 from = qMax<qint64>(0, start - 64);
            if (!file->seek(from))
                return false;
            const QByteArray before = file->read(start - from);
            if (before.size() != start - from)
                return false;
            qsizetype zeros = 0;
            while (zeros < before.size() && before.at(before.size() - 1 - zeros) == 0)
                ++zeros;
            start -= zeros;
            if (zeros < before.size())
                break;
        }
        index->units[i].start = start;
        if (i > 0)
            index->units[i - 1].end = start;
    }
    if (!index->units.isEmpty())
        index->units.last().end = index->size;
    return true;
}

} // namespace

bool SegmentIndex::Unit::irap() const
{
    return picture && H::isIrap(nalType);
}

bool SegmentIndex::Unit::idr() const
{
    return picture && (nalType == H::IdrWithLeading || nalType == H::IdrNoLeading);
}

SegmentIndex SegmentIndex::read(const QString &path, const std::atomic_bool *stop)
{
    SegmentIndex index;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        index.problem = file.errorString();
        return index;
    }
    index.size = file.size();
    Walk walk(&index);
    {
        NalUnitReader reader(&file, NalUnitReader::Headers);
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
    if (walk.finish() && !placeUnits(&file, walk.firstNalUnits, &index))
        index.problem = file.errorString();
    return index;
}

int SegmentIndex::lastShown() const
{
    int last = -1;
    for (int i = 0; i < units.size(); ++i) {
        const Unit &unit = units.at(i);
        if (!unit.picture || !unit.shown)
            continue;
        if (last < 0 || unit.codedSequence > units.at(last).codedSequence
            || (unit.codedSequence == units.at(last).codedSequence
                && unit.pictureOrderCount > units.at(last).pictureOrderCount))
            last = i;
    }
    return last;
}
