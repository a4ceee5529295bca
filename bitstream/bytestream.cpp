#include "bytestream.h"

#include <cstring>

namespace ByteStream {

qsizetype findNalUnit(const char *data, qsizetype size, qsizetype from)
{
    const char *end = data + size;
    const char *at = data + qMax<qsizetype>(from, 0);
    while (end - at >= 3) {
        const auto *one = static_cast<const char *>(std::memchr(at + 2, 1, end - at - 2));
        if (!one)
            return -1;
        if (one[-1] == 0 && one[-2] == 0)
            return one + 1 - data;
        at = one - 1;
    }
    return -1;
}

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

} // namespace ByteStream
