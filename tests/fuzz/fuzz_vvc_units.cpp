// The reader of a VVC byte stream's NAL units, held against a plain search for start codes,
// whatever size the file's reads come in: each unit's place, its bytes without the zero bytes
// after it, a slice's head only.
// Then the index of the stream, which the join and the checks of an encoder's output rest on:
// its access units tile the file, each picture's order count field lies in its unit and reads
// as the picture's. (The join's renumbering is the shared join's, through the codec interface.)
//
// The first byte of the input sets the size of the file's reads (0: as large as asked); the
// rest is the stream.

#include "fuzzsupport.h"

#include "vvc/vvcnalunit.h"
#include "vvc/vvcstreamindex.h"
#include "vvc/vvcunitreader.h"

namespace {

using namespace FuzzSupport;

void readUnits(const QString &path, qint64 step, const QByteArray &stream, const QList<PlainUnit> &expected)
{
    ShortReadFile file(path, step);
    FUZZ_EXPECT(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    VvcUnitReader reader(&file);
    VvcUnit unit;
    qsizetype count = 0;
    qint64 end = 0;
    while (reader.next(&unit)) {
        FUZZ_EXPECT(count < expected.size());
        const PlainUnit &plain = expected.at(count++);
        FUZZ_EXPECT(unit.offset == plain.offset);
        FUZZ_EXPECT(unit.start == end && unit.start <= unit.offset - 3);
        // Its bytes end before the zero bytes that follow it (its header is kept whole); those
        // belong to the next start code. A unit that no start code follows ends with the file.
        const QByteArray bytes = plain.bytes.left(qMax<qsizetype>(withoutTrailingZeros(plain.bytes).size(), 2));
        const bool last = plain.offset + plain.bytes.size() == stream.size();
        const qint64 unitEnd = last ? stream.size() : unit.offset + bytes.size();
        // A slice passed over may keep some of a long run of zero bytes after it.
        FUZZ_EXPECT(unit.whole ? unit.end == unitEnd : unit.end >= unitEnd);
        FUZZ_EXPECT(withoutTrailingZeros(stream.mid(unit.offset, unit.end - unit.offset)).size() <= bytes.size());
        FUZZ_EXPECT(unit.type == VvcNalUnit::type(plain.bytes.constData()));
        if (unit.whole) {
            FUZZ_EXPECT(unit.bytes == bytes);
        } else {
            FUZZ_EXPECT(VvcNalUnit::isSlice(unit.type) && unit.bytes.size() == VvcUnitReader::kSliceHead);
            FUZZ_EXPECT(bytes.startsWith(unit.bytes) && bytes.size() > unit.bytes.size());
        }
        end = unit.end;
    }
    if (reader.problem.isEmpty()) {
        FUZZ_EXPECT(count == expected.size());
        FUZZ_EXPECT(count == 0 || end == stream.size());
    }
}

void checkIndex(const VvcStreamIndex &index, const QByteArray &stream)
{
    FUZZ_EXPECT(index.size == stream.size());
    for (qsizetype i = 0; i < index.units.size(); ++i) {
        const VvcStreamIndex::AccessUnit &unit = index.units.at(i);
        FUZZ_EXPECT(unit.start == (i == 0 ? 0 : index.units.at(i - 1).end));
        FUZZ_EXPECT(unit.start < unit.end && unit.afterDelimiter >= unit.start && unit.afterDelimiter <= unit.end);
    }
    // An index that could not be read through is partial (its last picture's field may have
    // no access unit yet); its callers use only its problem.
    if (!index.problem.isEmpty())
        return;
    FUZZ_EXPECT(index.units.isEmpty() || index.units.last().end == stream.size());
    for (const VvcStreamIndex::OrderField &field : index.orderFields) {
        FUZZ_EXPECT(field.unit >= 0 && field.unit < index.units.size());
        const VvcStreamIndex::AccessUnit &unit = index.units.at(field.unit);
        FUZZ_EXPECT(field.offset >= unit.start && field.offset + field.head.size() <= unit.end);
        FUZZ_EXPECT(stream.mid(field.offset, field.head.size()) == field.head);
        FUZZ_EXPECT(field.bits > 0 && field.bits <= 16 && field.bitAt + field.bits <= 8 * (field.head.size() - 2));
        FUZZ_EXPECT(field.value < (quint32(1) << field.bits));
    }
    index.pictures();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    StreamFile input;
    if (!streamFile(data, size, QStringLiteral("part.266"), &input))
        return 0;
    readUnits(input.path, input.step, input.stream, input.units);

    const VvcStreamIndex index = VvcStreamIndex::read(input.path);
    checkIndex(index, input.stream);
    return 0;
}
