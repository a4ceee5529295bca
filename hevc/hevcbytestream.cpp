#include "hevcbytestream.h"

#include "bitstream/bitreader.h"
#include "bitstream/rbsp.h"

bool HevcByteStream::startsAccessUnit(int type)
{
    return (type >= Vps && type <= Aud) || type == PrefixSei || (type >= 41 && type <= 44)
        || (type >= 48 && type <= 55) || type == EndOfSequence || type == EndOfBitstream;
}

bool HevcByteStream::readSequenceFormat(const char *nal, qsizetype size, SequenceFormat *format, BitReader *rest)
{
    if (size < 3 || nalType(nal) != Sps)
        return false;
    BitReader reader(nal + 2, size - 2);
    reader.skip(4);                               // video parameter set id
    const int subLayers = int(reader.bits(3));    // max sub-layers minus 1
    reader.skip(1);
    // Profile, tier and level: 88 bits of general profile, 8 of level, then per sub-layer.
    reader.skip(96);
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.bits(1);
        levelPresent[i] = reader.bits(1);
    }
    if (subLayers > 0)
        reader.skip(2 * (8 - subLayers));
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent[i])
            reader.skip(88);
        if (levelPresent[i])
            reader.skip(8);
    }
    const quint32 id = reader.ue();
    if (id > 15)
        return false;
    SequenceFormat parsed;
    parsed.id = int(id);
    const quint32 chroma = reader.ue();
    if (chroma > 3)
        return false;
    parsed.chromaFormat = int(chroma);
    if (chroma == 3)
        parsed.separateColourPlanes = reader.bits(1);
    const quint32 width = reader.ue(), height = reader.ue();
    // The largest size any level allows; anything above is damage, not a picture.
    if (width == 0 || height == 0 || width > 16888 || height > 16888)
        return false;
    parsed.codedWidth = int(width);
    parsed.codedHeight = int(height);
    if (reader.bits(1)) {
        const quint32 left = reader.ue(), right = reader.ue(), top = reader.ue(), bottom = reader.ue();
        if ((quint64(left) + right) * parsed.cropUnitX() >= width
            || (quint64(top) + bottom) * parsed.cropUnitY() >= height)
            return false;
        parsed.cropLeft = int(left) * parsed.cropUnitX();
        parsed.cropRight = int(right) * parsed.cropUnitX();
        parsed.cropTop = int(top) * parsed.cropUnitY();
        parsed.cropBottom = int(bottom) * parsed.cropUnitY();
    }
    const quint32 lumaDepth = reader.ue(), chromaDepth = reader.ue();
    const quint32 pocBits = reader.ue();          // log2_max_pic_order_cnt_lsb_minus4
    if (lumaDepth > 8 || chromaDepth > 8 || pocBits > 12 || reader.failed())
        return false;
    parsed.log2MaxPocLsb = 4 + int(pocBits);
    parsed.bitDepthLuma = 8 + int(lumaDepth);
    parsed.bitDepthChroma = 8 + int(chromaDepth);
    *format = parsed;
    if (rest)
        *rest = reader;
    return true;
}

QByteArray HevcByteStream::prefixSeiUnit(const QList<SeiWriter::Message> &messages, int temporalIdPlus1)
{
    QByteArray nal;
    nal.append(char(PrefixSei << 1));
    nal.append(char(temporalIdPlus1 & 7));
    return nal + Rbsp::escape(SeiWriter::rbsp(messages));
}
