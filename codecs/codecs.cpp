#include "codecs.h"

#include "bitstream/bytestream.h"
#include "files/filecheck.h"
#include "hevc/hevccodec.h"
#include "vvc/vvccodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// How much of a file's start is looked at: its first parameter set comes long before.
constexpr qint64 kHead = 1 << 16;

// Keys of the VVC reference encoder's configuration that the HEVC one does not know (its stock
// files name all of them).
const char *const kVvcKeys[] = {"CTUSize", "ALF", "LMCSEnable", "DualITree", "DepQuant", "MTS", "SbTMVP"};

// The VVC reference encoder's program, and its decoder beside it.
const char kVvcEncoder[] = "EncoderApp";
const char kVvcDecoder[] = "DecoderApp";

} // namespace

QList<const Codec *> Codecs::all()
{
    return {&HevcCodec::instance(), &VvcCodec::instance()};
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

const Codec &Codecs::ofEncoder(const QString &encoder, const QStringList &configKeys)
{
    for (const char *key : kVvcKeys)
        if (configKeys.contains(QLatin1String(key), Qt::CaseInsensitive))
            return VvcCodec::instance();
    const QFileInfo program(encoder);
    const QString target = program.canonicalFilePath();
    if (program.fileName() == QLatin1String(kVvcEncoder)
        || (!target.isEmpty() && QFileInfo(target).fileName() == QLatin1String(kVvcEncoder)))
        return VvcCodec::instance();
    return HevcCodec::instance();
}

Codec::Tools Codecs::toolsFor(const Codec &codec, const QString &encoder, const QString &decoder)
{
    Codec::Tools tools;
    if (!codec.libavName().isEmpty())
        return tools;
    if (!decoder.isEmpty()) {
        tools.decoder = QFileInfo(decoder).absoluteFilePath();
        return tools;
    }
    // Beside the encoder as named, then beside the program its links lead to.
    const QFileInfo program(encoder);
    for (const QString &folder : {program.absolutePath(), QFileInfo(program.canonicalFilePath()).absolutePath()}) {
        const QFileInfo found(QDir(folder).filePath(QLatin1String(kVvcDecoder)));
        if (!encoder.isEmpty() && found.isFile() && found.isExecutable()) {
            tools.decoder = found.absoluteFilePath();
            break;
        }
    }
    return tools;
}
