#include "nalunitreader.h"

#include "bytestream.h"
#include "codec.h"

#include <QFile>

#include <cstring>

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

// How many bytes from data on are zero: compared a block at a time, as a run of them may be
// long (padding after a stream's last unit).
qsizetype leadingZeros(const char *data, qsizetype size)
{
    static const char zeros[4096] = {};
    qsizetype count = 0;
    while (size - count >= qsizetype(sizeof zeros) && std::memcmp(data + count, zeros, sizeof zeros) == 0)
        count += qsizetype(sizeof zeros);
    while (count < size && data[count] == 0)
        ++count;
    return count;
}

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
    if (mode == Headers)
        at = fillAfter(at, kSliceHead);
    if (!problem.isEmpty())
        return false;
    unit->offset = base + at;
    unit->bytes = buffer.mid(at, mode == Headers ? kSliceHead : headerBytes + 1);
    unit->whole = false;
    pos = at + headerBytes;
    if (mode != Headers)
        return true;
    // Not into the next unit: what is held up to it is the whole unit.
    const qsizetype next = ByteStream::findNalUnit(unit->bytes.constData(), unit->bytes.size(), headerBytes);
    if (next >= 0) {
        unit->bytes.truncate(next - 3);
        unit->whole = true;
        return true;
    }
    if (unit->bytes.endsWith('\0'))
        return takeZerosAfterHead(unit);
    unit->whole = atEnd && at + kSliceHead >= buffer.size();
    return true;
}

// Zero bytes at a head's end are the unit's own data only where a byte other than a start
// code's follows them; otherwise they are trailing zeros, or the next start code's first bytes,
// and the unit's data ends before them. The zeros past the head are read through, not held:
// there may be any number of them.
bool NalUnitReader::takeZerosAfterHead(NalUnit *unit)
{
    const qint64 zerosFrom = unit->offset + ByteStream::withoutTrailingZeros(unit->bytes).size();
    qint64 end = unit->offset + unit->bytes.size();   // the first byte not known to be zero
    for (;;) {
        qsizetype i = qsizetype(end - base);
        i += leadingZeros(buffer.constData() + i, buffer.size() - i);
        end = base + i;
        if (i < buffer.size() || atEnd)
            break;
        // What lies before is zeros: two of them are kept, as the next start code may begin there.
        pos = qMax<qsizetype>(0, i - 2);
        if (!fill() && !problem.isEmpty())
            return false;
    }
    const qsizetype i = qsizetype(end - base);
    const bool startCode = i < buffer.size() && buffer.at(i) == 1 && end - zerosFrom >= 2;
    if (i == buffer.size() || startCode) {
        unit->bytes.truncate(qsizetype(zerosFrom - unit->offset));
        unit->whole = true;
    }
    // No start code begins before the run's last two zeros.
    pos = qsizetype(qMax(end - 2, unit->offset + codec.headerBytes()) - base);
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
