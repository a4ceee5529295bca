#ifndef VVCUNITREADER_H
#define VVCUNITREADER_H

#include <QByteArray>
#include <QString>

class QFile;

// One NAL unit of a VVC byte stream and where it lies in its file.
struct VvcUnit
{
    qint64 start = 0;       // its start code, with the zero bytes before it (the stream's leading zeros for the first)
    qint64 offset = 0;      // its two-byte header
    qint64 end = 0;         // where the next unit's start code (with its zero bytes) begins; the file's size for the last
    int type = 0;
    int layer = 0;
    int temporalId = 0;
    bool damaged = false;   // a forbidden or reserved header bit set
    // The unit from its header, without the zero bytes that follow it; a slice's first
    // kSliceHead bytes only, which hold its header's first fields.
    QByteArray bytes;
    bool whole = true;      // bytes reach the unit's end
};

// Walks the NAL units of a VVC byte stream from its start, in chunks: slices are passed over
// beyond their first bytes, so memory stays bounded by the largest other unit, whatever the
// stream's size.
class VvcUnitReader
{
public:
    static constexpr qsizetype kSliceHead = 64;

    explicit VvcUnitReader(QFile *file);

    // False at the end of the stream or on a problem (then set).
    bool next(VvcUnit *unit);

    QString problem;

private:
    bool fill();
    bool findFirst();
    // The buffer's index of a file offset held in it.
    qsizetype at(qint64 offset) const { return qsizetype(offset - base); }
    qint64 held() const { return base + buffer.size(); }

    QFile *file;
    QByteArray buffer;
    qint64 base = 0;        // file offset of buffer[0]
    qint64 keep = 0;        // nothing before this file offset is needed any more
    qint64 nextStart = -1;  // the unit found and not yet handed out
    qint64 nextHeader = -1;
    bool atEnd = false;
    bool started = false;
    bool finished = false;
};

#endif // VVCUNITREADER_H
