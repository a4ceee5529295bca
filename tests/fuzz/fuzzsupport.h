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

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H
