// The parameter set and slice header readers on a byte stream's units, in order, as the join
// reads a part: every parameter set taken, every slice header read with the sets before it.
// Where a header has a picture order count, the join's renumbering is tried on it: the field
// rewritten to the complement of its value in the escaped bytes must read back as that value,
// change no other bit of the payload, put no start code into one that had none, and come out the same from
// the unit's first bytes alone (all the join holds of a slice) where those suffice. The access
// units then go through the picture order the join works out.

#include "fuzzsupport.h"

#include "hevc/hevcbytestream.h"
#include "bitstream/nalunitreader.h"
#include "hevc/parametersets.h"
#include "hevc/pictureorder.h"
#include "hevc/sliceheader.h"

namespace {

using namespace FuzzSupport;
using H = HevcByteStream;

void checkSet(ParameterSets *sets, const QByteArray &nal)
{
    const int id = ParameterSets::idOf(nal.constData(), nal.size());
    const bool taken = sets->take(nal.constData(), nal.size());
    if (H::nalType(nal.constData()) != H::Sps)
        return;
    SequenceFormat format;
    const bool read = H::readSequenceFormat(nal.constData(), nal.size(), &format);
    FUZZ_EXPECT(read == (id >= 0));
    // A base-layer set too short to hold an id is passed over; any other is read or refused.
    FUZZ_EXPECT(H::nalLayer(nal.constData()) != 0 || nal.size() < 3 || taken == read);
    if (!read)
        return;
    FUZZ_EXPECT(format.id == id);
    FUZZ_EXPECT(format.cropLeft + format.cropRight < format.codedWidth);
    FUZZ_EXPECT(format.cropTop + format.cropBottom < format.codedHeight);
    format.describe();
}

void checkRenumbering(const ParameterSets &sets, const QByteArray &nal, const SliceHeader &header)
{
    const quint32 value = ~header.pocLsb & ((quint32(1) << header.pocLsbBits) - 1);
    const QByteArray edited = rewriteField(nal.mid(2), header.pocLsbAt, header.pocLsbBits, value,
                                           NalUnitReader::kSliceHead - 2);
    if (edited.isNull())
        return;
    SliceHeader again;
    QString problem;
    const QByteArray renumbered = nal.left(2) + edited;
    FUZZ_EXPECT(SliceHeader::read(sets, renumbered.constData(), renumbered.size(), &again, &problem));
    FUZZ_EXPECT(again.pocLsb == value && again.pocLsbAt == header.pocLsbAt);
    FUZZ_EXPECT(again.firstInPicture == header.firstInPicture && again.pictureSet == header.pictureSet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stream = bytes(data, size);
    ParameterSets sets;
    PictureOrder order;
    QByteArray accessUnit;
    bool picture = false;
    for (const PlainUnit &unit : plainUnits(stream)) {
        const QByteArray nal = withoutTrailingZeros(unit.bytes);
        if (nal.size() < 2)
            continue;
        const int type = H::nalType(nal.constData());
        const bool firstSlice = type < H::Vps && nal.size() > 2 && (uchar(nal.at(2)) & 0x80);
        if (picture && (H::startsAccessUnit(type) || firstSlice)) {
            if (!order.addAccessUnit(accessUnit.constData(), accessUnit.size()))
                return 0;
            accessUnit.clear();
            picture = false;
        }
        accessUnit += QByteArray("\0\0\1", 3) + nal;
        picture = picture || type < H::Vps;
        if (H::nalLayer(nal.constData()) != 0)
            continue;
        if (type == H::Sps || type == H::Pps || type == H::Vps) {
            checkSet(&sets, nal);
        } else if (type < H::Vps) {
            SliceHeader header;
            QString problem;
            if (SliceHeader::read(sets, nal.constData(), nal.size(), &header, &problem) && header.hasPocLsb)
                checkRenumbering(sets, nal, header);
        }
    }
    if (!accessUnit.isEmpty() && order.addAccessUnit(accessUnit.constData(), accessUnit.size()) && order.finish()) {
        QList<bool> placed(order.shown(), false);
        for (int unit = 0; unit < order.units(); ++unit) {
            const int place = order.outputPlace(unit);
            FUZZ_EXPECT((order.kind(unit) == PictureOrder::Shown) == (place >= 0));
            if (place >= 0) {
                FUZZ_EXPECT(place < placed.size() && !placed.at(place));
                placed[place] = true;
            }
        }
    }
    return 0;
}
