#include "rbsp.h"

#include <QVector>

namespace {

// The RBSP of escaped bytes, and where each of its bytes stands among them.
QByteArray unescaped(const char *data, qsizetype size, QVector<qsizetype> *positions)
{
    QByteArray rbsp;
    rbsp.reserve(size);
    int zeros = 0;
    for (qsizetype i = 0; i < size; ++i) {
        // After two zero bytes or more, as a decoder (and BitReader) takes it: 00 00 00 03
        // holds one too, although no stream should hold three zero bytes in a row.
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        rbsp.append(data[i]);
        if (positions)
            positions->append(i);
        zeros = data[i] == 0 ? zeros + 1 : 0;
    }
    return rbsp;
}

void writeBits(QByteArray *bytes, qint64 bitOffset, int count, quint32 value)
{
    for (int i = 0; i < count; ++i) {
        const qint64 bit = bitOffset + i;
        const uchar mask = uchar(0x80u >> (bit & 7));
        char &byte = (*bytes)[qsizetype(bit >> 3)];
        if ((value >> (count - 1 - i)) & 1)
            byte = char(uchar(byte) | mask);
        else
            byte = char(uchar(byte) & ~mask);
    }
}

} // namespace

QByteArray Rbsp::unescape(const char *data, qsizetype size)
{
    return unescaped(data, size, nullptr);
}

QByteArray Rbsp::escape(const QByteArray &rbsp, bool atEnd)
{
    QByteArray escaped;
    escaped.reserve(rbsp.size() + rbsp.size() / 2 + 1);
    int zeros = 0;
    for (const char byte : rbsp) {
        if (zeros == 2 && uchar(byte) <= 3) {
            escaped.append(char(3));
            zeros = 0;
        }
        escaped.append(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    // After two zero bytes only: after one, a 03 would be a byte of the payload.
    if (atEnd && escaped.endsWith(QByteArray(2, '\0')))
        escaped.append(char(3));
    return escaped;
}

bool Rbsp::replaceBits(const QByteArray &escaped, bool whole, qint64 bitOffset, int count, quint32 value,
                       Edit *edit)
{
    if (count < 1 || count > 32 || bitOffset < 0)
        return false;
    QVector<qsizetype> positions;
    const QByteArray before = unescaped(escaped.constData(), escaped.size(), &positions);
    const qsizetype size = before.size();
    const qint64 fieldEnd = (bitOffset + count + 7) >> 3;
    if (fieldEnd > size)
        return false;
    QByteArray after = before;
    writeBits(&after, bitOffset, count, value);

    // The escaping of a byte depends only on how many zero bytes come right before it. The
    // window starts after a byte that is not zero (or at the start), and ends after one that
    // is not zero in the old payload and in the new one, so that the escaping outside it
    // stays what it was; and an emulation prevention byte only ever follows two zero bytes,
    // so none sits at the window's edges.
    qsizetype start = qsizetype(bitOffset >> 3);
    while (start > 0 && before.at(start - 1) == 0)
        --start;
    const auto settled = [&](qsizetype at) { return before.at(at - 1) != 0 && after.at(at - 1) != 0; };
    qsizetype end = qsizetype(fieldEnd);
    while (end < size && !settled(end))
        ++end;
    // Zero bytes up to the end: the payload's last bytes decide, so they must all be there.
    const bool openEnd = !settled(end);
    if (openEnd && !whole)
        return false;
    edit->from = positions.at(start);
    edit->length = (end < size ? positions.at(end) : escaped.size()) - edit->from;
    edit->bytes = escape(after.mid(start, end - start), openEnd);
    // A payload that ends in an odd number of zero bytes has no escaping that keeps them (the
    // byte stream takes a last zero byte for its own); only a damaged unit ends so.
    return !(openEnd && edit->bytes.endsWith('\0'));
}
