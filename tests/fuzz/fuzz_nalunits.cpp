// The NAL unit reader, held against a plain search for start codes: in each of its modes the
// same units at the same offsets, with the file's own bytes, whatever size its reads come in.
// Then the readers built on it walk the same file: the quick summary of a stream and the
// join's index of a part, whose access units must tile the file.
//
// The first byte of the input sets the size of the file's reads (0: as large as asked); the
// rest is the stream, so that a real stream with a zero byte in front is a seed.

#include "fuzzsupport.h"

#include "bitstream/nalunitreader.h"
#include "bitstream/streamindex.h"
#include "hevc/hevccodec.h"
#include "join/streaminspector.h"

#include <algorithm>

namespace {

using namespace FuzzSupport;

const Codec &codec = HevcCodec::instance();

void readAll(const QString &path, qint64 step, NalUnitReader::Mode mode, const QByteArray &stream,
             const QList<PlainUnit> &expected)
{
    ShortReadFile file(path, step);
    FUZZ_EXPECT(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    NalUnitReader reader(&file, codec, mode);
    NalUnit unit;
    qsizetype count = 0;
    while (reader.next(&unit)) {
        FUZZ_EXPECT(count < expected.size());
        const PlainUnit &plain = expected.at(count++);
        FUZZ_EXPECT(unit.offset == plain.offset);
        const bool slice = codec.kind(unit.type) == Codec::Kind::Slice;
        if (mode == NalUnitReader::Whole || !slice) {
            FUZZ_EXPECT(unit.whole && unit.bytes == plain.bytes);
        } else if (mode == NalUnitReader::Abridged) {
            FUZZ_EXPECT(!unit.whole && unit.bytes == stream.mid(plain.offset, codec.headerBytes() + 1));
        } else {
            // A slice's first bytes, as many as the reader holds unless the unit ends sooner;
            // said to be whole only where they hold all of its data.
            FUZZ_EXPECT(unit.bytes == stream.mid(plain.offset, unit.bytes.size()));
            FUZZ_EXPECT(unit.whole ? withoutTrailingZeros(unit.bytes) == withoutTrailingZeros(plain.bytes)
                                   : unit.bytes.size() == NalUnitReader::kSliceHead);
        }
        if (count == 1) {
            bool clean = plain.offset - 3 <= 1 << 16;
            for (qsizetype i = 0; clean && i < plain.offset - 3; ++i)
                clean = stream.at(i) == 0;
            FUZZ_EXPECT(reader.cleanStart() == clean);
        }
    }
    FUZZ_EXPECT(reader.problem.isEmpty());
    FUZZ_EXPECT(count == expected.size());
}

void index(const QString &path, const QByteArray &stream, const QList<PlainUnit> &units)
{
    const StreamIndex part = codec.index(path);
    part.lastShown();
    if (!part.problem.isEmpty())
        return;
    const qsizetype size = stream.size();
    FUZZ_EXPECT(part.size == size);
    for (qsizetype i = 0; i < part.units.size(); ++i) {
        const StreamIndex::Unit &unit = part.units.at(i);
        FUZZ_EXPECT(unit.start == (i == 0 ? 0 : part.units.at(i - 1).end));
        FUZZ_EXPECT(unit.start < unit.end);
    }
    FUZZ_EXPECT(part.units.isEmpty() || part.units.last().end == size);
    for (const StreamIndex::OrderField &field : part.orderFields) {
        FUZZ_EXPECT(field.unit >= 0 && field.unit < part.units.size());
        const StreamIndex::Unit &unit = part.units.at(field.unit);
        FUZZ_EXPECT(field.offset >= unit.start && field.offset + field.head.size() <= unit.end);
        FUZZ_EXPECT(std::any_of(units.begin(), units.end(), [&](const PlainUnit &plain) {
            return plain.offset == field.offset && stream.mid(field.offset, field.head.size()) == field.head;
        }));
        FUZZ_EXPECT(field.bits > 0 && field.bitAt + field.bits <= 8 * (field.head.size() - 2));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    StreamFile input;
    if (!streamFile(data, size, QStringLiteral("part.265"), &input))
        return 0;
    const QByteArray &stream = input.stream;
    const QString &path = input.path;
    for (const NalUnitReader::Mode mode : {NalUnitReader::Abridged, NalUnitReader::Headers, NalUnitReader::Whole})
        readAll(path, input.step, mode, stream, input.units);

    const StreamSummary summary = StreamInspector::inspect(path);
    FUZZ_EXPECT(summary.bytes == stream.size());
    index(path, stream, input.units);
    return 0;
}
