#ifndef NALUNITREADER_H
#define NALUNITREADER_H

#include <QByteArray>
#include <QString>

class Codec;
class QFile;

struct NalUnit
{
    qint64 offset = 0;      // of the header's first byte in the file
    int type = 0;
    int layer = 0;
    int temporalIdPlus1 = 0;
    bool damaged = false;   // forbidden_zero_bit set
    // The unit up to the next start code (trailing zero bytes included). In the Abridged
    // mode a slice holds its header and one more byte only; in the Headers mode its first
    // bytes, up to kSliceHead (where its data ends sooner, the data, with none or some of the
    // trailing zeros).
    QByteArray bytes;
    bool whole = true;      // bytes reach the unit's end (false for a slice cut short here)
};

// Walks the NAL units of a byte stream file from its start in chunks, so that memory stays
// bounded by the largest unit read whole; the stream's codec reads their headers.
class NalUnitReader
{
public:
    enum Mode {
        Abridged,   // slices cut short: their data is passed over without being held
        Headers,    // slices cut to their first kSliceHead bytes, which hold their headers' first fields
        Whole       // every unit whole
    };
    static constexpr qsizetype kSliceHead = 64;

    NalUnitReader(QFile *file, const Codec &codec, Mode mode = Abridged);

    // False at the end of the file or on a problem (then set).
    bool next(NalUnit *unit);
    // Whether the file starts with a start code after nothing but a few zero bytes.
    bool cleanStart() const { return clean; }

    QString problem;

private:
    // The offset in the buffer of the next NAL unit header, filled up to its first payload byte
    // where the file has one; -1 at the end or on a problem.
    qsizetype findHeader();
    // The unit at `at`: a slice cut short, or a unit read whole (no larger than limit).
    bool takeSliceHead(qsizetype at, NalUnit *unit);
    bool takeZerosAfterHead(NalUnit *unit);
    bool takeWhole(qsizetype at, qsizetype limit, NalUnit *unit);
    bool fill();
    // Reads on until count bytes follow the unit that starts at `at` (or the file ends); where
    // that unit now starts in the buffer.
    qsizetype fillAfter(qsizetype at, qsizetype count);

    QFile *file;
    const Codec &codec;
    const Mode mode;
    QByteArray buffer;
    qint64 base = 0;        // file offset of buffer[0]
    qsizetype pos = 0;      // no start code begins before this
    bool atEnd = false;
    bool first = true;
    bool zerosDropped = true;   // nothing but zero bytes dropped before the first unit
    bool clean = false;
};

#endif // NALUNITREADER_H
