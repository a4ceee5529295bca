#include "seiwriter.h"

#include "rbsp.h"

namespace {

void appendBigEndian(QByteArray *bytes, quint32 value, int size)
{
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        bytes->append(char((value >> shift) & 0xff));
}

// payloadType and payloadSize are coded as runs of FF bytes and a last byte below FF.
void appendSeiNumber(QByteArray *bytes, int value)
{
    for (; value >= 0xff; value -= 0xff)
        bytes->append(char(0xff));
    bytes->append(char(value));
}

} // namespace

QByteArray SeiWriter::payload(const MasteringDisplay &display)
{
    QByteArray bytes;
    for (int i = 0; i < 3; ++i) {
        appendBigEndian(&bytes, display.primariesX[i], 2);
        appendBigEndian(&bytes, display.primariesY[i], 2);
    }
    appendBigEndian(&bytes, display.whitePointX, 2);
    appendBigEndian(&bytes, display.whitePointY, 2);
    appendBigEndian(&bytes, display.maxLuminance, 4);
    appendBigEndian(&bytes, display.minLuminance, 4);
    return bytes;
}

QByteArray SeiWriter::payload(const ContentLightLevel &light)
{
    QByteArray bytes;
    appendBigEndian(&bytes, light.maxContentLight, 2);
    appendBigEndian(&bytes, light.maxPictureAverageLight, 2);
    return bytes;
}

QByteArray SeiWriter::rbsp(const QList<Message> &messages)
{
    QByteArray bytes;
    for (const Message &message : messages) {
        appendSeiNumber(&bytes, message.first);
        appendSeiNumber(&bytes, int(message.second.size()));
        bytes += message.second;
    }
    bytes.append(char(0x80));   // rbsp_trailing_bits: the stop bit, then zeros to the byte's end
    return bytes;
}

QByteArray SeiWriter::escape(const QByteArray &rbsp)
{
    return Rbsp::escape(rbsp);
}

SeiWriter::Messages SeiWriter::messages(const char *nal, qsizetype size)
{
    QByteArray rbsp = size > 2 ? Rbsp::unescape(nal + 2, size - 2) : QByteArray();
    // Zero bytes after the trailing bits belong to the byte stream, not to the unit.
    while (rbsp.endsWith('\0'))
        rbsp.chop(1);
    Messages found;
    qsizetype at = 0;
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
            return found;
        found.types << int(type);
        found.payloads << rbsp.mid(at, qsizetype(payloadSize));
        at += payloadSize;
    }
    found.whole = at + 1 == rbsp.size() && uchar(rbsp.back()) == 0x80;
    return found;
}

QList<int> SeiWriter::payloadTypes(const char *nal, qsizetype size)
{
    return messages(nal, size).types;
}
