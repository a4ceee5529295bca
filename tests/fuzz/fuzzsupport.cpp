#include "fuzzsupport.h"

#include "bitstream/rbsp.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace FuzzSupport {

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: expected %s\n", file, line, what);
    std::abort();
}

QString folder()
{
    static QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/morlunex-fuzz-XXXXXX"));
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(QDir::tempPath()));
        std::abort();
    }
    return scratch.path();
}

QString writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = folder() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

QList<PlainUnit> plainUnits(const QByteArray &stream)
{
    QList<qsizetype> starts;   // of each start code
    for (qsizetype i = 0; i + 2 < stream.size(); ++i) {
        if (stream.at(i) == 0 && stream.at(i + 1) == 0 && stream.at(i + 2) == 1) {
            starts << i;
            i += 4;   // on to the unit's third byte, less the loop's step
        }
    }
    QList<PlainUnit> units;
    for (qsizetype n = 0; n < starts.size(); ++n) {
        const qsizetype offset = starts.at(n) + 3;
        if (offset + 2 > stream.size())
            break;
        const qsizetype end = n + 1 < starts.size() ? starts.at(n + 1) : stream.size();
        units << PlainUnit{offset, stream.mid(offset, end - offset)};
    }
    return units;
}

bool streamFile(const uint8_t *data, size_t size, const QString &name, StreamFile *file)
{
    if (size < 1)
        return false;
    file->step = data[0] > 0 ? data[0] : qint64(1) << 40;
    file->stream = bytes(data + 1, size - 1);
    file->path = writeFile(name, file->stream);
    file->units = plainUnits(file->stream);
    return true;
}

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

namespace {

bool holdsStartCode(const QByteArray &bytes)
{
    for (qsizetype i = 0; i + 2 < bytes.size(); ++i)
        if (bytes.at(i) == 0 && bytes.at(i + 1) == 0 && uchar(bytes.at(i + 2)) <= 2)
            return true;
    return false;
}

// The RBSP with the field's bits set to value's, most significant first.
QByteArray withField(QByteArray rbsp, qint64 at, int bits, quint32 value)
{
    for (int i = 0; i < bits; ++i) {
        const qint64 bit = at + i;
        const char mask = char(0x80u >> (bit & 7));
        const qsizetype byte = qsizetype(bit >> 3);
        const bool set = value & (quint32(1) << (bits - 1 - i));
        rbsp[byte] = char(set ? rbsp.at(byte) | mask : rbsp.at(byte) & ~mask);
    }
    return rbsp;
}

} // namespace

QByteArray rewriteField(const QByteArray &payload, qint64 at, int bits, quint32 value, qsizetype head)
{
    const QByteArray rbsp = Rbsp::unescape(payload.constData(), payload.size());
    const qint64 fieldEnd = (at + bits + 7) >> 3;
    FUZZ_EXPECT(bits >= 1 && bits <= 32 && at >= 0 && fieldEnd <= rbsp.size());
    const QByteArray expected = withField(rbsp, at, bits, value);
    Rbsp::Edit edit;
    if (!Rbsp::replaceBits(payload, true, at, bits, value, &edit)) {
        qsizetype zeros = 0;
        while (zeros < expected.size() && expected.at(expected.size() - 1 - zeros) == 0)
            ++zeros;
        // Nothing but zero bytes after the field, whose last byte is zero before or after.
        const qsizetype last = qsizetype(fieldEnd - 1);
        FUZZ_EXPECT(zeros % 2 == 1 && expected.size() - zeros <= last + 1);
        FUZZ_EXPECT(rbsp.at(last) == 0 || expected.at(last) == 0);
        return QByteArray();
    }
    FUZZ_EXPECT(edit.from >= 0 && edit.length >= 0 && edit.from + edit.length <= payload.size());
    const QByteArray edited = payload.left(edit.from) + edit.bytes + payload.mid(edit.from + edit.length);
    FUZZ_EXPECT(holdsStartCode(payload) || !holdsStartCode(edited));
    FUZZ_EXPECT(Rbsp::unescape(edited.constData(), edited.size()) == expected);

    const QByteArray first = payload.left(head);
    Rbsp::Edit fromHead;
    if (first.size() < payload.size() && Rbsp::replaceBits(first, false, at, bits, value, &fromHead))
        FUZZ_EXPECT(fromHead.from == edit.from && fromHead.length == edit.length && fromHead.bytes == edit.bytes);
    return edited;
}

} // namespace FuzzSupport
