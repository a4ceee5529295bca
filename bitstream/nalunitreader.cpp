#include "nalunitreader.h"

#include "bytestream.h"
#include "codec.h"

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

NalUnitReader::NalUnitReader(QFile *file, const Codec &codec, Mode mode)
    : file(file)
    , codec(codec)
    , mode(mode)
{
}

bool NalUnitReader::fill()
{
    if (atEnd)
        return false;
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

qsizetype NalUnitReader::findHeader()
{
    const int headerBytes = codec.headerBytes();
    for (;;) {
        qsizetype at = ByteStream::findNalUnit(buffer.constData(), buffer.size(), pos);
        if (at >= 0 && at + headerBytes + 1 <= buffer.size())
            return at;
        if (at < 0)
            pos = qMax<qsizetype>(pos, buffer.size() - 2);
        if (first && base + buffer.size() >= kMaxBytesBeforeFirstUnit) {
            problem = QStringLiteral("it is not an %1 elementary stream (no start code in its first megabyte)")
                          .arg(codec.name());
            return -1;
        }
        if (!fill()) {
            at = ByteStream::findNalUnit(buffer.constData(), buffer.size(), pos);
            return at >= 0 && at + headerBytes <= buffer.size() ? at : -1;
        }
    }
}

bool NalUnitReader::next(NalUnit *unit)
{
    const qsizetype at = findHeader();
    if (at < 0)
        return false;
    if (first) {
        first = false;
        clean = base == 0 && at - 3 <= kMaxLeadingZeros;
        for (qsizetype i = 0; clean && i < at - 3; ++i)
            clean = buffer.at(i) == 0;
    }
    const NalHeader header = codec.header(buffer.constData() + at);
    unit->type = header.type;
    unit->layer = header.layer;
    unit->temporalIdPlus1 = header.temporalIdPlus1;
    unit->damaged = header.forbidden;
    const bool slice = codec.kind(unit->type) == Codec::Kind::Slice;
    if (slice && mode != Whole)
        return takeSliceHead(at, unit);
    return takeWhole(at, slice ? kMaxPictureUnit : kMaxHeaderUnit, unit);
}

bool NalUnitReader::takeSliceHead(qsizetype at, NalUnit *unit)
{
    const int headerBytes = codec.headerBytes();
    if (mode == Headers)
        at = fillAfter(at, kSliceHead);
    if (!problem.isEmpty())
        return false;
    unit->offset = base + at;
    unit->bytes = buffer.mid(at, mode == Headers ? kSliceHead : headerBytes + 1);
    unit->whole = false;
    if (mode == Headers) {
        // Not into the next unit: what is held up to it is the whole unit.
        const qsizetype next = ByteStream::findNalUnit(unit->bytes.constData(), unit->bytes.size(), headerBytes);
        if (next >= 0)
            unit->bytes.truncate(next - 3);
        unit->whole = next >= 0 || (atEnd && at + kSliceHead >= buffer.size());
    }
    pos = at + headerBytes;
    return true;
}

bool NalUnitReader::takeWhole(qsizetype at, qsizetype limit, NalUnit *unit)
{
    unit->whole = true;
    // pos holds on to the unit's start while its end is sought.
    pos = at;
    qsizetype end = -1;
    for (;;) {
        const qsizetype nextUnit = ByteStream::findNalUnit(buffer.constData(), buffer.size(), pos + codec.headerBytes());
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
