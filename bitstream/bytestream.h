#ifndef BYTESTREAM_H
#define BYTESTREAM_H

// The byte-stream format that every codec here shares: NAL units, each after a start code
// (00 00 01, often with a zero byte in front), and zero bytes between them that belong to the
// byte stream, not to a unit.

#include <QByteArray>
#include <QtGlobal>

namespace ByteStream {

// The start code that goes before every NAL unit a stream gets from us.
inline QByteArray startCode()
{
    return QByteArray("\0\0\1", 3);
}

// The offset of the first NAL unit header byte that follows a start code beginning at or
// after `from`, or -1 when there is none.
qsizetype findNalUnit(const char *data, qsizetype size, qsizetype from);

// A unit read up to the next start code, without the zero bytes that belong to the byte stream.
QByteArray withoutTrailingZeros(QByteArray bytes);

} // namespace ByteStream

#endif // BYTESTREAM_H
