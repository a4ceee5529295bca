// The readers of a VVC stream's parameter sets and picture headers, on its units in order as
// the index reads them: every set read or refused the same way by each reader, in range where
// read; every picture header (in a unit of its own or in its slice) read with the sets before
// it, its picture order count where it says, and that count rewritten in place as the join
// renumbers it, after which the header must read the same but for the count.

#include "fuzzsupport.h"

#include "bitstream/bitreader.h"
#include "vvc/vvcnalunit.h"
#include "vvc/vvcparametersets.h"
#include "vvc/vvcpictureheader.h"
#include "vvc/vvcunitreader.h"

namespace {

using namespace FuzzSupport;
using N = VvcNalUnit;

void checkFormat(const VvcPictureFormat &format)
{
    FUZZ_EXPECT(format.codedWidth > 0 && format.codedHeight > 0);
    FUZZ_EXPECT(format.chromaFormat >= 0 && format.chromaFormat <= 3);
    FUZZ_EXPECT(format.cropLeft >= 0 && format.cropRight >= 0 && format.cropTop >= 0 && format.cropBottom >= 0);
    FUZZ_EXPECT(format.width() > 0 && format.height() > 0);
    format.describe();
}

void checkSet(VvcParameterSets *sets, const QByteArray &nal)
{
    const int type = N::type(nal.constData());
    const int key = VvcParameterSets::keyOf(nal.constData(), nal.size());
    const bool taken = sets->take(nal.constData(), nal.size());
    if (type == N::Sps) {
        VvcParameterSets::Sequence sequence;
        const bool read = VvcParameterSets::readSequence(nal.constData(), nal.size(), &sequence);
        FUZZ_EXPECT(nal.size() < 3 || taken == read);
        if (!read)
            return;
        FUZZ_EXPECT(key == (type << 8 | sequence.id) && sequence.id >= 0 && sequence.id < 16);
        FUZZ_EXPECT(sequence.log2MaxPocLsb >= 4 && sequence.log2MaxPocLsb <= 16);
        checkFormat(sequence.format);
    } else if (type == N::Pps) {
        VvcParameterSets::Picture picture;
        const bool read = VvcParameterSets::readPicture(nal.constData(), nal.size(), &picture);
        FUZZ_EXPECT(nal.size() < 3 || taken == read);
        if (!read)
            return;
        FUZZ_EXPECT(key == (type << 8 | picture.id) && picture.id >= 0 && picture.id < 64);
        FUZZ_EXPECT(picture.sequence >= 0 && picture.sequence < 16);
        if (const VvcParameterSets::Picture *kept = sets->picture(quint32(picture.id)))
            checkFormat(sets->formatOf(*kept));
    } else if (type == N::PrefixAps || type == N::SuffixAps) {
        int kind = -1, id = -1;
        const bool read = VvcParameterSets::readAdaptation(nal.constData(), nal.size(), &kind, &id);
        FUZZ_EXPECT(read == (key >= 0));
        if (read) {
            // Prefix and suffix sets of a kind share their ids; kinds never share a key.
            FUZZ_EXPECT(kind >= 0 && kind <= 2 && id >= 0 && id < 32 && VvcParameterSets::isAdaptationKey(key));
            FUZZ_EXPECT(key == (N::PrefixAps << 8 | kind << 5 | id));
        }
    }
}

void checkPictureHeader(const VvcParameterSets &sets, const QByteArray &nal)
{
    VvcPictureHeader header;
    QString problem;
    if (!VvcPictureHeader::read(sets, nal.constData(), nal.size(), &header, &problem)) {
        FUZZ_EXPECT(!problem.isEmpty());
        return;
    }
    const VvcParameterSets::Picture *picture = sets.picture(quint32(header.pictureSet));
    FUZZ_EXPECT(picture != nullptr);
    FUZZ_EXPECT(header.pocLsbBits == sets.sequenceOf(*picture)->log2MaxPocLsb);
    FUZZ_EXPECT(header.pocLsb < (quint32(1) << header.pocLsbBits));

    BitReader bits(nal.constData() + 2, nal.size() - 2);
    bits.skip(int(header.pocLsbAt));
    FUZZ_EXPECT(bits.bits(header.pocLsbBits) == header.pocLsb && !bits.failed());

    const quint32 value = ~header.pocLsb & ((quint32(1) << header.pocLsbBits) - 1);
    const QByteArray edited = rewriteField(nal.mid(2), header.pocLsbAt, header.pocLsbBits, value,
                                           VvcUnitReader::kSliceHead - 2);
    if (edited.isNull())
        return;
    const QByteArray renumbered = nal.left(2) + edited;
    VvcPictureHeader again;
    FUZZ_EXPECT(VvcPictureHeader::read(sets, renumbered.constData(), renumbered.size(), &again, &problem));
    FUZZ_EXPECT(again.pocLsb == value && again.pocLsbAt == header.pocLsbAt && again.pocLsbBits == header.pocLsbBits);
    FUZZ_EXPECT(again.pictureSet == header.pictureSet && again.gdrOrIrap == header.gdrOrIrap
                && again.gdr == header.gdr && again.nonReference == header.nonReference);
    FUZZ_EXPECT(again.pocMsbPresent == header.pocMsbPresent && again.pocMsbCycle == header.pocMsbCycle);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stream = bytes(data, size);
    VvcParameterSets sets;
    for (const PlainUnit &unit : plainUnits(stream)) {
        const QByteArray nal = withoutTrailingZeros(unit.bytes);
        if (nal.size() < 2 || N::damaged(nal.constData()) || N::layer(nal.constData()) != 0)
            continue;
        const int type = N::type(nal.constData());
        if (N::isParameterSet(type) || type == N::SuffixAps)
            checkSet(&sets, nal);
        else if (type == N::PictureHeader || (N::isSlice(type) && VvcPictureHeader::inSlice(nal.constData(), nal.size())))
            checkPictureHeader(sets, nal);
    }
    return 0;
}
