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
        clean = zerosDropped && base + at - 3 <= kMaxLeadingZeros;
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
    unit->whole = false;
    qsizetype size = headerBytes + 1;
    if (mode == Headers) {
        at = fillAfter(at, kSliceHead);
        size = qMin(kSliceHead, buffer.size() - at);
        // Not into the next unit: what is held up to it is the whole unit.
        const qsizetype next = ByteStream::findNalUnit(buffer.constData() + at, size, headerBytes);
        if (next >= 0) {
            size = next - 3;
            unit->whole = true;
        } else if (buffer.at(at + size - 1) == 0) {
            // Zero bytes at the head's end are the unit's own data only where a byte other than
            // a start code's follows them; otherwise they are trailing zeros, or the first bytes
            // of the next start code, and the unit ends before them.
            qsizetype run = size;
            for (;;) {
                while (at + run < buffer.size() && buffer.at(at + run) == 0)
                    ++run;
                if (at + run < buffer.size() || atEnd)
                    break;
                if (run > kMaxPictureUnit) {
                    problem = QStringLiteral("a NAL unit of type %1 is larger than %2 MiB")
                                  .arg(unit->type).arg(kMaxPictureUnit >> 20);
                    return false;
                }
                at = fillAfter(at, run + 1);
            }
            const bool ends = at + run == buffer.size()
                || (buffer.at(at + run) == 1 && buffer.at(at + run - 2) == 0);
            if (ends) {
                size = at + run == buffer.size() ? run : run - 2;
                unit->whole = true;
            }
        } else {
            unit->whole = atEnd && at + size == buffer.size();
        }
    }
    if (!problem.isEmpty())
        return false;
    unit->offset = base + at;
    unit->bytes = buffer.mid(at, size);
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
