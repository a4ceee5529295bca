#include "vvcsei.h"

#include "bitstream/rbsp.h"

QList<VvcSei::Message> VvcSei::messages(const char *nal, qsizetype size)
{
    QByteArray rbsp = size > 2 ? Rbsp::unescape(nal + 2, size - 2) : QByteArray();
    // Zero bytes after the trailing bits belong to the byte stream, not to the unit.
    while (rbsp.endsWith('\0'))
        rbsp.chop(1);
    QList<Message> found;
    qsizetype at = 0;
    // payloadType and payloadSize are coded as runs of FF bytes and a last byte below FF.
    const auto number = [&rbsp, &at](qint64 *value) {
        *value = 0;
        while (at < rbsp.size() && uchar(rbsp.at(at)) == 0xff) {
            *value += 0xff;
            ++at;
        }
        if (at >= rbsp.size())
            return false;
        *value += uchar(rbsp.at(at++));
        return true;
    };
    // More messages follow while more than the byte with the stop bit is left.
    while (at + 1 < rbsp.size()) {
        qint64 type = 0, payloadSize = 0;
        if (!number(&type) || !number(&payloadSize) || at + payloadSize > rbsp.size())
            break;
        found.append({int(type), rbsp.mid(at, qsizetype(payloadSize))});
        at += payloadSize;
    }
    return found;
}

QByteArray VvcSei::pictureHashPayload(const char *nal, qsizetype size)
{
    for (const Message &message : messages(nal, size)) {
        if (message.type == DecodedPictureHash)
            return message.payload;
    }
    return QByteArray();
}

bool VvcSei::readPictureHash(const QByteArray &payload, PictureHash *hash)
{
    static const int sizes[] = {16, 2, 4};
    if (payload.size() < 2 || uchar(payload.at(0)) > PictureHash::Checksum)
        return false;
    const int kind = uchar(payload.at(0));
    const int components = uchar(payload.at(1)) & 0x80 ? 1 : 3;
    const int size = sizes[kind];
    if (payload.size() != 2 + components * size)
        return false;
    PictureHash parsed;
    parsed.kind = kind;
    for (int i = 0; i < components; ++i)
        parsed.components << payload.mid(2 + i * size, size);
    *hash = parsed;
    return true;
}

QString VvcSei::PictureHash::kindName() const
{
    static const char *const names[] = {"MD5", "CRC", "checksum"};
    return kind >= 0 && kind <= Checksum ? QString::fromLatin1(names[kind]) : QStringLiteral("no hash");
}

QString VvcSei::PictureHash::describe() const
{
    QStringList hex;
    for (const QByteArray &component : components)
        hex << QString::fromLatin1(component.toHex());
    return kindName() + QLatin1Char(' ') + hex.join(QLatin1Char(','));
}
