#include "codecs.h"

#include "bitstream/bytestream.h"
#include "files/filecheck.h"
#include "hevc/hevccodec.h"

#include <QFile>

namespace {

// How much of a file's start is looked at: its first parameter set comes long before.
constexpr qint64 kHead = 1 << 16;

} // namespace

QList<const Codec *> Codecs::all()
{
    return {&HevcCodec::instance()};
}

const Codec *Codecs::recognise(const char *data, qsizetype size)
{
    const QList<const Codec *> codecs = all();
    for (qsizetype at = ByteStream::findNalUnit(data, size, 0); at >= 0;) {
        const qsizetype next = ByteStream::findNalUnit(data, size, at + 1);
        const qsizetype end = next < 0 ? size : next - 3;
        for (const Codec *codec : codecs)
            if (codec->recognises(data + at, end - at))
                return codec;
        at = next;
    }
    return nullptr;
}

const Codec *Codecs::recognise(const QString &path)
{
    QFile file(path);
    if (!FileCheck::regularFileProblem(path).isEmpty() || !file.open(QIODevice::ReadOnly))
        return nullptr;
    return recognise(&file);
}

const Codec *Codecs::recognise(QFile *file)
{
    if (!file->seek(0))
        return nullptr;
    const QByteArray head = file->read(kHead);
    file->seek(0);
    return recognise(head.constData(), head.size());
}

const Codec &Codecs::of(const QString &path)
{
    const Codec *codec = recognise(path);
    return codec ? *codec : fallback();
}

const Codec &Codecs::fallback()
{
    return HevcCodec::instance();
}
