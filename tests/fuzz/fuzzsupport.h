#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// What the fuzz targets share: a check that ends the run as a crash (so that libFuzzer keeps
// the input), files written in a private folder, reads that come in short pieces, and a plain
// byte-by-byte search for start codes to hold the readers against.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

#define FUZZ_EXPECT(condition) \
    ((condition) ? void(0) : FuzzSupport::fail(#condition, __FILE__, __LINE__))

namespace FuzzSupport {

[[noreturn]] void fail(const char *what, const char *file, int line);

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A folder of this process's own, made on first use and removed when the process ends.
QString folder();
// Writes the bytes to a file of this name in folder() and returns its path.
QString writeFile(const QString &name, const QByteArray &bytes);

// A file whose reads return at most `step` bytes each, as a pipe or a file still being written
// may: whoever reads it must not take a short read for the end.
class ShortReadFile : public QFile
{
public:
    ShortReadFile(const QString &path, qint64 step) : QFile(path), step(step) {}

protected:
    qint64 readData(char *data, qint64 maxSize) override { return QFile::readData(data, qMin(maxSize, step)); }

private:
    const qint64 step;
};

// A NAL unit as a plain search finds it: the offset of its first header byte, and its bytes up
// to the next start code (or the end).
struct PlainUnit
{
    qsizetype offset = 0;
    QByteArray bytes;
};

// The NAL units of a byte stream, found byte by byte: a unit starts after 00 00 01, and the
// next start code is sought from its third byte on (its two header bytes are never part of
// one). A start code at the very end with less than two bytes after it opens no unit, but
// still ends the one before.
QList<PlainUnit> plainUnits(const QByteArray &stream);
// A byte stream as a fuzz input gives it: the input's first byte sets the size of the file's
// reads (0: as large as asked), the rest is the stream, written to a file; with its units.
struct StreamFile
{
    qint64 step = 0;
    QByteArray stream;
    QString path;
    QList<PlainUnit> units;
};
// False for an empty input.
bool streamFile(const uint8_t *data, size_t size, const QString &name, StreamFile *file);

// The bytes without the zero bytes at their end (which a byte stream may put after a unit).
QByteArray withoutTrailingZeros(QByteArray bytes);

// The join's rewrite of a picture order count in place: the field of `bits` bits from bit `at`
// of the payload's RBSP (the payload escaped, after the NAL unit header) set to `value` with
// Rbsp::replaceBits, which must change no other bit, put no start code into a payload that
// had none, and make the same edit from the payload's first `head` bytes alone (all the join
// holds of a slice) where those suffice. The edited payload; a null array where the edit is
// refused, which it may be only where the field is the payload's end: nothing but zero bytes
// after it, its last byte zero before or after, and the new payload ends in an odd number of
// zero bytes, which no escaping keeps (the join then says the unit cannot be renumbered; no
// whole unit ends so).
QByteArray rewriteField(const QByteArray &payload, qint64 at, int bits, quint32 value, qsizetype head);

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H
