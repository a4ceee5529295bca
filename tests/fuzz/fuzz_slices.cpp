// The parameter set and slice header readers on a byte stream's units, in order, as the join
// reads a part: every parameter set taken, every slice header read with the sets before it.
// Where a header has a picture order count, the join's renumbering is tried on it: the field
// rewritten to the complement of its value in the escaped bytes must read back as that value,
// change no other bit of the payload, put no start code into one that had none, and come out the same from
// the unit's first bytes alone (all the join holds of a slice) where those suffice. The access
// units then go through the picture order the join works out.

#include "fuzzsupport.h"

#include "bitstream/bitreader.h"
#include "hevc/hevcbytestream.h"
#include "bitstream/nalunitreader.h"
#include "hevc/parametersets.h"
#include "hevc/pictureorder.h"
#include "bitstream/rbsp.h"
#include "hevc/sliceheader.h"

namespace {

using namespace FuzzSupport;
using H = HevcByteStream;

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

bool holdsStartCode(const QByteArray &bytes)
{
    for (qsizetype i = 0; i + 2 < bytes.size(); ++i)
        if (bytes.at(i) == 0 && bytes.at(i + 1) == 0 && uchar(bytes.at(i + 2)) <= 2)
            return true;
    return false;
}

QByteArray applied(const QByteArray &payload, const Rbsp::Edit &edit)
{
    return payload.left(edit.from) + edit.bytes + payload.mid(edit.from + edit.length);
}

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
    const QByteArray payload = nal.mid(2);
    const quint32 value = ~header.pocLsb & ((quint32(1) << header.pocLsbBits) - 1);
    Rbsp::Edit edit;
    if (!Rbsp::replaceBits(payload, true, header.pocLsbAt, header.pocLsbBits, value, &edit)) {
        // Refused only where the field is the payload's end: nothing but zero bytes after it,
        // and the new value leaves an odd number of them, which no escaping keeps (the join
        // then says the slice cannot be renumbered). No whole slice ends so.
        QByteArray after = Rbsp::unescape(payload.constData(), payload.size());
        const qint64 fieldEnd = (header.pocLsbAt + header.pocLsbBits + 7) >> 3;
        FUZZ_EXPECT(fieldEnd <= after.size());
        for (int i = 0; i < header.pocLsbBits; ++i) {
            const qint64 bit = header.pocLsbAt + i;
            const char mask = char(0x80u >> (bit & 7));
            const bool set = value & (quint32(1) << (header.pocLsbBits - 1 - i));
            after[qsizetype(bit >> 3)] = char(set ? after.at(qsizetype(bit >> 3)) | mask
                                                  : after.at(qsizetype(bit >> 3)) & ~mask);
        }
        qsizetype zeros = 0;
        while (zeros < after.size() && after.at(after.size() - 1 - zeros) == 0)
            ++zeros;
        FUZZ_EXPECT(zeros % 2 == 1 && after.size() - zeros < fieldEnd);
        return;
    }
    const QByteArray edited = applied(payload, edit);
    FUZZ_EXPECT(holdsStartCode(payload) || !holdsStartCode(edited));

    // Every bit of the payload as it was, the field's aside.
    QByteArray expected = Rbsp::unescape(payload.constData(), payload.size());
    for (int i = 0; i < header.pocLsbBits; ++i) {
        const qint64 bit = header.pocLsbAt + i;
        const char mask = char(0x80u >> (bit & 7));
        expected[qsizetype(bit >> 3)] = char(expected.at(qsizetype(bit >> 3)) ^ mask);
    }
    FUZZ_EXPECT(Rbsp::unescape(edited.constData(), edited.size()) == expected);

    SliceHeader again;
    QString problem;
    const QByteArray renumbered = nal.left(2) + edited;
    FUZZ_EXPECT(SliceHeader::read(sets, renumbered.constData(), renumbered.size(), &again, &problem));
    FUZZ_EXPECT(again.pocLsb == value && again.pocLsbAt == header.pocLsbAt);
    FUZZ_EXPECT(again.firstInPicture == header.firstInPicture && again.pictureSet == header.pictureSet);

    // The join holds only a slice's first bytes: an edit made from them is the same edit.
    const QByteArray head = payload.left(NalUnitReader::kSliceHead - 2);
    Rbsp::Edit fromHead;
    if (head.size() < payload.size() && Rbsp::replaceBits(head, false, header.pocLsbAt, header.pocLsbBits, value, &fromHead))
        FUZZ_EXPECT(fromHead.from == edit.from && fromHead.length == edit.length && fromHead.bytes == edit.bytes);
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
