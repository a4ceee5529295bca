#include "vvcstreamindex.h"

#include "vvcnalunit.h"
#include "vvcpictureheader.h"
#include "vvcsei.h"
#include "vvcunitreader.h"

#include <QFile>
#include <QSet>

namespace {

using N = VvcNalUnit;

// The walk over a stream's NAL units, access unit by access unit, with the picture order
// count worked out the way a decoder does.
class Walk
{
public:
    explicit Walk(VvcStreamIndex *index) : index(index) {}

    bool take(const VvcUnit &unit);
    void finish(qint64 size);

private:
    bool takeSet(const VvcUnit &unit);
    bool takePictureHeader(const VvcUnit &unit);
    bool takeSlice(const VvcUnit &unit);
    void closeUnit(qint64 end);

    VvcStreamIndex *index;
    VvcParameterSets sets;
    VvcStreamIndex::AccessUnit current;
    QMap<int, QByteArray> setsBefore;  // the parameter sets in force where the current access unit starts
    QSet<int> unitSets;                // the keys of the sets the current access unit brings
    bool open = false;
    // A PH NAL unit read for the picture whose slices come next.
    bool headerPending = false;
    VvcPictureHeader pendingHeader;
    VvcStreamIndex::OrderField pendingField;
    // What the order count of the next picture depends on.
    int previousTid0Poc = 0;
    int codedSequence = -1;
    bool afterEndOfSequence = true;    // the next IRAP picture opens a coded sequence
    bool skippingRasl = false;         // RASL pictures of the current IRAP picture are not output
    int lastType = -1;
};

bool Walk::take(const VvcUnit &unit)
{
    const bool base = unit.layer == 0;
    const bool slice = N::isSlice(unit.type);
    if (base && open && current.picture
        && (N::startsAccessUnit(unit.type) || (slice && VvcPictureHeader::inSlice(unit.bytes.constData(), unit.bytes.size()))))
        closeUnit(unit.start);
    if (index->units.isEmpty() && !open && !N::opensStream(unit.bytes.constData())) {
        index->problem = QStringLiteral("it is no VVC byte stream (its first NAL unit, at byte %1, is not one a VVC "
                                        "stream opens with)").arg(unit.offset);
        return false;
    }
    if (!open) {
        open = true;
        setsBefore = index->finalSets;
        unitSets.clear();
        current.start = current.afterDelimiter = unit.start;
    }
    if (unit.type == N::Aud && current.afterDelimiter == unit.start)
        current.afterDelimiter = unit.end;
    if (unit.damaged) {
        index->problem = QStringLiteral("the NAL unit at byte %1 has a damaged header").arg(unit.offset);
        return false;
    }
    if (!base)
        return true;
    lastType = unit.type;
    if (N::isParameterSet(unit.type) || unit.type == N::SuffixAps)
        return takeSet(unit);
    if (unit.type == N::PictureHeader)
        return takePictureHeader(unit);
    if (slice)
        return takeSlice(unit);
    if (unit.type == N::SuffixSei && current.picture && current.hash.isEmpty())
        current.hash = VvcSei::pictureHashPayload(unit.bytes.constData(), unit.bytes.size());
    if (unit.type == N::EndOfSequence || unit.type == N::EndOfBitstream)
        afterEndOfSequence = true;
    return true;
}

bool Walk::takeSet(const VvcUnit &unit)
{
    const int key = VvcParameterSets::keyOf(unit.bytes.constData(), unit.bytes.size());
    if (key < 0 || !sets.take(unit.bytes.constData(), unit.bytes.size())) {
        index->problem = QStringLiteral("the parameter set at byte %1 is unreadable").arg(unit.offset);
        return false;
    }
    if (unit.type == N::Sps) {
        VvcParameterSets::Sequence sequence;
        VvcParameterSets::readSequence(unit.bytes.constData(), unit.bytes.size(), &sequence);
        index->longTermPictures = index->longTermPictures || !sequence.tailKnown || sequence.longTermPictures;
        index->interLayer = index->interLayer || sequence.interLayer;
    }
    index->finalSets.insert(key, unit.bytes);
    unitSets.insert(key);
    if (index->units.isEmpty())
        index->openingSets.append({key, unit.bytes});
    return true;
}

bool Walk::takePictureHeader(const VvcUnit &unit)
{
    QString unread;
    if (!VvcPictureHeader::read(sets, unit.bytes.constData(), unit.bytes.size(), &pendingHeader, &unread)) {
        index->problem = QStringLiteral("the picture header at byte %1 %2").arg(unit.offset).arg(unread);
        return false;
    }
    headerPending = true;
    pendingField = VvcStreamIndex::OrderField();
    pendingField.offset = unit.offset;
    pendingField.head = unit.bytes;
    pendingField.whole = unit.whole;
    return true;
}

bool Walk::takeSlice(const VvcUnit &unit)
{
    if (current.picture)
        return true;
    VvcPictureHeader header;
    VvcStreamIndex::OrderField field;
    if (VvcPictureHeader::inSlice(unit.bytes.constData(), unit.bytes.size())) {
        QString unread;
        if (!VvcPictureHeader::read(sets, unit.bytes.constData(), unit.bytes.size(), &header, &unread)) {
            index->problem = QStringLiteral("the picture header in the slice at byte %1 %2").arg(unit.offset).arg(unread);
            return false;
        }
        field.offset = unit.offset;
        field.head = unit.bytes;
        field.whole = unit.whole;
    } else if (headerPending) {
        header = pendingHeader;
        field = pendingField;
    } else {
        index->problem = QStringLiteral("the slice at byte %1 has no picture header before it").arg(unit.offset);
        return false;
    }
    headerPending = false;
    field.bitAt = header.pocLsbAt;
    field.bits = header.pocLsbBits;
    field.value = header.pocLsb;
    field.unit = int(index->units.size());
    index->orderFields << field;

    const int type = unit.type;
    const bool opensSequence = N::isIdr(type) || ((N::isIrap(type) || type == N::Gdr) && afterEndOfSequence);
    if (opensSequence) {
        ++codedSequence;
        afterEndOfSequence = false;
    }
    if (N::isIrap(type) || type == N::Gdr)
        skippingRasl = opensSequence && !N::isIdr(type);
    const qint64 maxLsb = qint64(1) << header.pocLsbBits;
    qint64 msb = 0;
    if (header.pocMsbPresent) {
        msb = qint64(header.pocMsbCycle) * maxLsb;
    } else if (!opensSequence) {
        const qint64 previousLsb = previousTid0Poc & (maxLsb - 1);
        msb = previousTid0Poc - previousLsb;
        if (header.pocLsb < previousLsb && previousLsb - header.pocLsb >= maxLsb / 2)
            msb += maxLsb;
        else if (header.pocLsb > previousLsb && header.pocLsb - previousLsb > maxLsb / 2)
            msb -= maxLsb;
    }
    current.picture = true;
    current.nalType = type;
    current.temporalId = unit.temporalId;
    current.nonReference = header.nonReference;
    current.pictureOrderCount = int(msb + header.pocLsb);
    current.codedSequence = qMax(codedSequence, 0);
    current.shown = !(type == N::Rasl && skippingRasl);
    if (unit.temporalId == 0 && type != N::Rasl && type != N::Radl && !header.nonReference)
        previousTid0Poc = current.pictureOrderCount;
    if (!index->formatKnown) {
        const VvcParameterSets::Picture *picture = sets.picture(quint32(header.pictureSet));
        index->format = sets.formatOf(*picture);
        index->formatKnown = true;
    }
    return true;
}

void Walk::closeUnit(qint64 end)
{
    current.end = end;
    // A decoder refuses two different sets of one id in one access unit: the unit's own win.
    if (current.irap()) {
        for (auto set = setsBefore.constBegin(); set != setsBefore.constEnd(); ++set)
            if (!unitSets.contains(set.key()))
                current.setsBefore += QByteArray("\0\0\1", 3) + set.value();
    }
    index->units << current;
    current = VvcStreamIndex::AccessUnit();
    open = false;
}

void Walk::finish(qint64 size)
{
    if (open)
        closeUnit(size);
    index->endsSequence = lastType == N::EndOfSequence || lastType == N::EndOfBitstream;
}

} // namespace

bool VvcStreamIndex::AccessUnit::irap() const
{
    return picture && VvcNalUnit::isIrap(nalType);
}

bool VvcStreamIndex::AccessUnit::idr() const
{
    return picture && VvcNalUnit::isIdr(nalType);
}

VvcStreamIndex VvcStreamIndex::read(const QString &path, const std::atomic_bool *stop)
{
    VvcStreamIndex index;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        index.problem = file.errorString();
        return index;
    }
    index.size = file.size();
    Walk walk(&index);
    VvcUnitReader reader(&file);
    VvcUnit unit;
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
    walk.finish(index.size);
    return index;
}

int VvcStreamIndex::pictures() const
{
    int count = 0;
    for (const AccessUnit &unit : units)
        count += unit.picture ? 1 : 0;
    return count;
}
