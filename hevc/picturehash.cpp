#include "picturehash.h"

#include <QCryptographicHash>
#include <QSysInfo>

#include <array>

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

// One colour component of a decoded picture, read sample by sample.
struct Plane
{
    const uchar *data = nullptr;
    int stride = 0;
    int width = 0, height = 0;
    bool wide = false;      // samples of more than 8 bits, two bytes each

    int sample(int x, int y) const
    {
        const uchar *row = data + qsizetype(y) * stride;
        if (!wide)
            return row[x];
        quint16 value;
        std::memcpy(&value, row + 2 * x, 2);
        return value;
    }
};

// The bytes the hash is taken over: each sample, the lower byte first, as the rows hold them
// on a little-endian machine.
QByteArray md5(const Plane &plane)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const qsizetype rowBytes = qsizetype(plane.width) * (plane.wide ? 2 : 1);
    QByteArray row(rowBytes, Qt::Uninitialized);
    for (int y = 0; y < plane.height; ++y) {
        const char *samples = reinterpret_cast<const char *>(plane.data) + qsizetype(y) * plane.stride;
        if (plane.wide && QSysInfo::ByteOrder != QSysInfo::LittleEndian) {
            for (int x = 0; x < plane.width; ++x) {
                const int value = plane.sample(x, y);
                row[2 * x] = char(value & 0xff);
                row[2 * x + 1] = char(value >> 8);
            }
            samples = row.constData();
        }
        hash.addData(QByteArrayView(samples, rowBytes));
    }
    return hash.result();
}

// CRC-CCITT (polynomial 0x1021) of the samples' bytes, the lower byte of each sample first, taken
// in the picture hash's way: starting at 0xffff with the message's bits shifted in, then sixteen
// zero bits. Byte by byte through a table, which gives the same from 0x1d0f.
QByteArray crc(const Plane &plane)
{
    static const auto table = [] {
        std::array<quint16, 256> entries{};
        for (int byte = 0; byte < 256; ++byte) {
            quint32 value = quint32(byte) << 8;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1;
            entries[byte] = quint16(value);
        }
        return entries;
    }();
    quint32 value = 0x1d0f;
    const auto take = [&value](int byte) { value = ((value << 8) & 0xffff) ^ table[((value >> 8) ^ byte) & 0xff]; };
    for (int y = 0; y < plane.height; ++y) {
        for (int x = 0; x < plane.width; ++x) {
            const int sample = plane.sample(x, y);
            take(sample & 0xff);
            if (plane.wide)
                take(sample >> 8);
        }
    }
    QByteArray digest;
    digest.append(char(value >> 8)).append(char(value & 0xff));
    return digest;
}

// The sum of the samples' bytes, each masked by its place in the picture.
QByteArray checksum(const Plane &plane)
{
    quint32 sum = 0;
    for (int y = 0; y < plane.height; ++y) {
        for (int x = 0; x < plane.width; ++x) {
            const quint32 mask = (x & 0xff) ^ (y & 0xff) ^ (x >> 8) ^ (y >> 8);
            const int sample = plane.sample(x, y);
            sum += (quint32(sample & 0xff) ^ mask);
            if (plane.wide)
                sum += (quint32(sample >> 8) ^ mask);
        }
    }
    QByteArray digest;
    for (int shift = 24; shift >= 0; shift -= 8)
        digest.append(char((sum >> shift) & 0xff));
    return digest;
}

} // namespace

QString PictureHash::kindName(int kind)
{
    switch (kind) {
    case Md5:
        return QStringLiteral("MD5");
    case Crc:
        return QStringLiteral("CRC");
    case Checksum:
        return QStringLiteral("checksum");
    }
    return QString();
}

QByteArray PictureHash::payload(const AVFrame *picture, int kind)
{
    const AVPixFmtDescriptor *format = av_pix_fmt_desc_get(AVPixelFormat(picture->format));
    if (!format || kindName(kind).isEmpty() || (format->flags & (AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_BITSTREAM))
        || !(format->flags & AV_PIX_FMT_FLAG_PLANAR) || format->nb_components > 3 || format->nb_components == 2)
        return QByteArray();
    QByteArray result(1, char(kind));
    // Planar formats hold component c in plane c, the planes of RGB pictures (coded as G, B, R)
    // included.
    for (int c = 0; c < format->nb_components; ++c) {
        Plane plane;
        plane.data = picture->data[format->comp[c].plane];
        plane.stride = picture->linesize[format->comp[c].plane];
        plane.wide = format->comp[c].depth > 8;
        const bool chroma = c > 0 && !(format->flags & AV_PIX_FMT_FLAG_RGB);
        plane.width = chroma ? -((-picture->width) >> format->log2_chroma_w) : picture->width;
        plane.height = chroma ? -((-picture->height) >> format->log2_chroma_h) : picture->height;
        if (!plane.data)
            return QByteArray();
        result += kind == Md5 ? md5(plane) : kind == Crc ? crc(plane) : checksum(plane);
    }
    return result;
}
