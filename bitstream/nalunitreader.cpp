#include "nalunitreader.h"

#include "hevcbytestream.h"

#include <QFile>

namespace {

constexpr qint64 kChunk = 1 << 20;
// A parameter set or SEI message larger than this is damage, not data worth reading.
constexpr qsizetype kMaxHeaderUnit = 16 << 20;
// Nor is a coded picture larger than this.
constexpr qsizetype kMaxPictureUnit = 512 << 20;
// A start code must come within this many leading zero bytes.
constexpr qsizetype kMaxLeadingZeros = 1 << 16;
// A file with no start code this far in is no byte stream: it is not read to its end.
constexpr qint64 kMaxBytesBeforeFirstUnit = 1 << 20;

} // namespace

NalUnitReader::NalUnitReader(QFile *file, Mode mode)
    : file(file)
    , mode(mode)
{
}

bool NalUnitReader::fill()
{
    if (atEnd)
        return false;
    // Whether the file starts cleanly must not depend on how its reads were cut: note what
    // goes before the first unit is found.
    for (qsizetype i = 0; first && zerosDropped && i < pos; ++i)
        zerosDropped = buffer.at(i) == 0;
    buffer.remove(0, pos);
    base += pos;
    pos = 0;
    const QByteArray chunk = file->read(kChunk);
    if (chunk.isEmpty()) {
        if (file->error() != QFileDevice::NoError)
            problem = file->errorString();
        atEnd = true;
        return false;
    }
    buffer += chunk;
    return true;
}

qsizetype NalUnitReader::fillAfter(qsizetype at, qsizetype count)
{
    // fill() drops what lies before pos: hold on to the unit's start meanwhile.
    pos = at;
    while (buffer.size() - pos < count && fill()) {
    }
    return pos;
}

bool NalUnitReader::next(NalUnit *unit)
{
    qsizetype at = -1;
    for (;;) {
        at = HevcByteStream::findNalUnit(buffer.constData(), buffer.size(), pos);
        if (at >= 0 && at + 3 <= buffer.size())
            break;
        if (at < 0)
            pos = qMax<qsizetype>(pos, buffer.size() - 2);
        if (first && base + buffer.size() >= kMaxBytesBeforeFirstUnit) {
            problem = QStringLiteral("it is not an HEVC elementary stream (no start code in its first megabyte)");
            return false;
        }
        if (!fill()) {
            at = HevcByteStream::findNalUnit(buffer.constData(), buffer.size(), pos);
            if (at >= 0 && at + 2 <= buffer.size())
                break;
            return false;
        }
    }
    if (first) {
        first = false;
        clean = zerosDropped && base + at - 3 <= kMaxLeadingZeros;
        for (qsizetype i = 0; clean && i < at - 3; ++i)
            clean = buffer.at(i) == 0;
    }
    const char *header = buffer.constData() + at;
    unit->type = HevcByteStream::nalType(header);
    unit->layer = HevcByteStream::nalLayer(header);
    unit->temporalIdPlus1 = HevcByteStream::nalTemporalIdPlus1(header);
    unit->damaged = uchar(header[0]) & 0x80;
    if (unit->type < HevcByteStream::Vps && mode != Whole) {
        if (mode == Headers)
            at = fillAfter(at, kSliceHead);
        if (!problem.isEmpty())
            return false;
        unit->offset = base + at;
        unit->bytes = buffer.mid(at, mode == Headers ? kSliceHead : 3);
        unit->whole = false;
        if (mode == Headers) {
            // Not into the next unit: what is held up to it is the whole unit.
            const qsizetype next = HevcByteStream::findNalUnit(unit->bytes.constData(), unit->bytes.size(), 2);
            if (next >= 0)
                unit->bytes.truncate(next - 3);
            unit->whole = next >= 0 || (atEnd && at + kSliceHead >= buffer.size());
        }
        pos = at + 2;
        return true;
    }
    unit->whole = true;
    // A unit read whole: pos holds on to its start while its end is sought.
    const qsizetype limit = unit->type < HevcByteStream::Vps ? kMaxPictureUnit : kMaxHeaderUnit;
    pos = at;
    qsizetype end = -1;
    for (;;) {
        const qsizetype nextUnit = HevcByteStream::findNalUnit(buffer.constData(), buffer.size(), pos + 2);
        if (nextUnit >= 0) {
            end = nextUnit - 3;
            break;
        }
        if (buffer.size() - pos > limit) {
            problem = QStringLiteral("a NAL unit of type %1 is larger than %2 MiB")
                          .arg(unit->type).arg(limit >> 20);
            return false;
        }
        if (!fill()) {
            if (!problem.isEmpty())
                return false;
            end = buffer.size();
            break;
        }
    }
    unit->offset = base + pos;
    unit->bytes = buffer.mid(pos, end - pos);
    pos = end;
    return true;
}
