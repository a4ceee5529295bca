#include "vvcunitreader.h"

#include "vvcnalunit.h"

#include "bitstream/bytestream.h"

#include <QFile>

namespace {

constexpr qint64 kChunk = 1 << 20;
// A parameter set or SEI message larger than this is damage, not data worth holding.
constexpr qint64 kMaxHeldUnit = 16 << 20;
// A file with no start code this far in is no byte stream: it is not read to its end.
constexpr qint64 kMaxBytesBeforeFirstUnit = 1 << 20;
// How many bytes before a start code are kept while a slice is passed over, to find the zero
// bytes that stand before the start code (a longer run of zeros is damage anyway).
constexpr qint64 kZeroRun = 4096;

qsizetype findStartCode(const QByteArray &buffer, qsizetype from)
{
    // The start-code search hands back the header after 00 00 01.
    const qsizetype header = ByteStream::findNalUnit(buffer.constData(), buffer.size(), from);
    return header < 0 ? -1 : header - 3;
}

} // namespace

VvcUnitReader::VvcUnitReader(QFile *file)
    : file(file)
{
}

bool VvcUnitReader::fill()
{
    if (atEnd)
        return false;
    const qsizetype drop = qBound<qsizetype>(0, at(keep), buffer.size());
    buffer.remove(0, drop);
    base += drop;
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

bool VvcUnitReader::findFirst()
{
    qsizetype code = -1;
    while ((code = findStartCode(buffer, 0)) < 0) {
        if (held() >= kMaxBytesBeforeFirstUnit) {
            problem = QStringLiteral("it is no VVC byte stream (no start code in its first megabyte)");
            return false;
        }
        if (!fill()) {
            if (!problem.isEmpty())
                return false;
            problem = held() == 0 ? QStringLiteral("it is empty")
                                  : QStringLiteral("it is no VVC byte stream (it holds no start code)");
            return false;
        }
    }
    for (qsizetype i = 0; i < code; ++i) {
        if (buffer.at(i) != 0) {
            problem = QStringLiteral("it is no VVC byte stream (it does not open with a start code)");
            return false;
        }
    }
    nextStart = 0;
    nextHeader = code + 3;
    return true;
}

bool VvcUnitReader::next(VvcUnit *unit)
{
    if (!started) {
        started = true;
        if (!findFirst()) {
            finished = true;
            return false;
        }
    }
    if (finished)
        return false;
    const qint64 header = nextHeader;
    keep = nextStart;
    while (held() < header + 2 && fill()) {
    }
    if (held() < header + 2) {
        if (!problem.isEmpty()) {
            finished = true;
            return false;
        }
        problem = QStringLiteral("it ends in a start code with no NAL unit after it (byte %1)").arg(nextStart);
        finished = true;
        return false;
    }
    VvcUnit found;
    found.start = nextStart;
    found.offset = header;
    const char *bytes = buffer.constData() + at(header);
    found.type = VvcNalUnit::type(bytes);
    found.layer = VvcNalUnit::layer(bytes);
    found.temporalId = VvcNalUnit::temporalId(bytes);
    found.damaged = VvcNalUnit::damaged(bytes);
    const bool slice = VvcNalUnit::isSlice(found.type);
    bool headTaken = false;

    // The next start code ends the unit; a slice's bytes beyond its head are dropped on the way.
    qint64 scan = header + 2;
    qint64 code = -1;
    for (;;) {
        const qsizetype local = findStartCode(buffer, at(scan));
        if (local >= 0) {
            code = base + local;
            break;
        }
        scan = qMax(scan, held() - 2);
        if (slice) {
            // Three bytes more, so that no start code straddling the search's end reaches into the head.
            if (!headTaken && held() >= header + kSliceHead + 3) {
                found.bytes = buffer.mid(at(header), kSliceHead);
                found.whole = false;
                headTaken = true;
            }
            if (headTaken)
                keep = qMax(header, scan - kZeroRun);
        } else if (held() - header > kMaxHeldUnit) {
            problem = QStringLiteral("a NAL unit of type %1 (byte %2) is larger than %3 MiB")
                          .arg(VvcNalUnit::name(found.type)).arg(header).arg(kMaxHeldUnit >> 20);
            finished = true;
            return false;
        }
        if (!fill())
            break;
    }
    if (!problem.isEmpty()) {
        finished = true;
        return false;
    }
    qint64 end = code >= 0 ? code : held();
    // The zero bytes before a start code belong to it, not to the unit before (whose last
    // byte holds its stop bit and is never zero).
    const qint64 lowest = qMax(header + 2, base);
    while (end > lowest && buffer.at(at(end - 1)) == 0)
        --end;
    found.end = code >= 0 ? end : held();
    if (!headTaken) {
        found.whole = !slice || end - header <= kSliceHead;
        found.bytes = buffer.mid(at(header), qsizetype(found.whole ? end - header : kSliceHead));
    } else if (end - header <= kSliceHead) {
        // The head was taken while the zero bytes after a short slice might still have been
        // its own: the slice is all in it.
        found.bytes.truncate(qsizetype(end - header));
        found.whole = true;
    }
    if (code >= 0) {
        nextStart = end;
        nextHeader = code + 3;
    } else {
        finished = true;
    }
    *unit = found;
    return true;
}
