#include "encoderadvice.h"

#include "feed/framesink.h"
#include "files/pathtext.h"
#include "files/replacefile.h"

#include <QDir>
#include <QFileInfo>

using PathText::absolute;
using PathText::native;

namespace {

// Bytes of one picture at this size, chroma format (400, 420, 422, 444) and depth.
qint64 pictureBytes(int width, int height, int chroma, int depth)
{
    const qint64 luma = qint64(width) * height;
    const qint64 chromaSamples = chroma == 400 ? 0 : chroma == 444 ? 2 * luma : chroma == 422 ? luma : luma / 2;
    return (luma + chromaSamples) * (depth > 8 ? 2 : 1);
}

} // namespace

EncoderAdvice::EncoderAdvice(const QString &configPath)
    : path(configPath)
{
    readable = file.read(configPath);
}

// An encoder that reads its input twice cannot read it from a pipe: the reference encoder's
// temporal filter opens the input again by name to read the pictures around the one it codes.
QString EncoderAdvice::completeFileReason(bool readsTwice) const
{
    if (readsTwice)
        return QStringLiteral("The encoder reads its input twice");
    if (file.isOn(QStringLiteral("TemporalFilter")))
        return QStringLiteral("The configuration turns on TemporalFilter, which reads the input twice");
    return QString();
}

QString EncoderAdvice::reconLine(const ReconPlace &recon, const QString &outputFolder, int width, int height,
                                 qint64 expected, const QString &rawByPath) const
{
    if (recon.kind() != ReconPlace::Written)
        return recon.withoutFileLine(outputFolder);
    // As the reference encoder writes it: at the output depth (else the internal one, else the
    // input's) and the coded chroma format (else the input's).
    const int inputDepth = file.intValue(QStringLiteral("InputBitDepth"), 8);
    const int inputChroma = file.intValue(QStringLiteral("InputChromaFormat"), 420);
    int depth = file.intValue(QStringLiteral("OutputBitDepth"), 0);
    if (depth <= 0)
        depth = file.intValue(QStringLiteral("InternalBitDepth"), 0);
    if (depth <= 0)
        depth = inputDepth;
    int chroma = file.intValue(QStringLiteral("ChromaFormatIDC"), 0);
    if (chroma <= 0)
        chroma = inputChroma;
    const qint64 bytes = pictureBytes(width, height, chroma, depth);
    qint64 count = expected;
    if (!rawByPath.isEmpty()) {
        const qint64 inputBytes = pictureBytes(width, height, inputChroma, inputDepth);
        count = inputBytes > 0 ? QFileInfo(rawByPath).size() / inputBytes : 0;
    }
    count -= qMax(0, file.intValue(QStringLiteral("FrameSkip"), 0));
    const int limit = file.intValue(QStringLiteral("FramesToBeEncoded"), 0);
    if (limit > 0)
        count = qMin<qint64>(count, limit);
    const QString size = count > 0 ? QStringLiteral("%1 pictures of %2 bytes, %3")
                                         .arg(count).arg(bytes).arg(FrameSink::sizeText(count * bytes))
                                   : QStringLiteral("%1 bytes a picture").arg(bytes);
    return QStringLiteral("The configuration's ReconFile has the encoder write a reconstructed copy of every "
                          "picture to %1: %2.")
        .arg(native(QDir::cleanPath(recon.name())), size);
}

QByteArray EncoderAdvice::endLines(qint64 handing) const
{
    if (!readable || handing <= 0)
        return QByteArray();
    const QString key = QStringLiteral("FramesToBeEncoded");
    const qint64 own = file.intValue(key, 0);
    qint64 coded = qMax<qint64>(1, handing - qMax(0, file.intValue(QStringLiteral("FrameSkip"), 0)));
    if (own > 0)
        coded = qMin(coded, own);
    if (coded == own)
        return QByteArray();
    return "\n# The pictures the encoder's input holds for it, added by the transcoder\nFramesToBeEncoded : "
           + QByteArray::number(coded) + '\n';
}

QString EncoderAdvice::writeCopy(const QString &folder, const QByteArray &added, QString *problem) const
{
    if (!readable) {
        *problem = QStringLiteral("Cannot read the configuration %1:\n%2.").arg(native(path), file.error());
        return QString();
    }
    const QString copy = folder + QLatin1Char('/') + QFileInfo(path).fileName();
    const QString unwritten = ReplaceFile::writeWhole(copy, file.contents() + added);
    if (!unwritten.isEmpty()) {
        *problem = QStringLiteral("Cannot write the copy of the configuration %1:\n%2.").arg(native(copy), unwritten);
        return QString();
    }
    return copy;
}

// A configuration the encoder refuses at once often lacks the source keys that the reference
// encoder's stock files leave to a per-sequence file (it refuses FramesToBeEncoded 0).
QString EncoderAdvice::sourceKeysHint(int frameRate) const
{
    if (!readable)
        return QString();
    const struct { const char *key; QString example; } keys[] = {
        {"FrameRate", QString::number(frameRate > 0 ? frameRate : 25)},
        {"FramesToBeEncoded", QStringLiteral("1000000")},
        {"InputBitDepth", QStringLiteral("8")},
        {"InputChromaFormat", QStringLiteral("420")},
        {"FrameSkip", QStringLiteral("0")},
    };
    QStringList missing, examples;
    for (const auto &key : keys) {
        if (file.contains(QLatin1String(key.key)))
            continue;
        missing << QLatin1String(key.key);
        examples << QStringLiteral("%1 : %2").arg(QLatin1String(key.key), key.example);
    }
    if (missing.isEmpty())
        return QString();
    return QStringLiteral("The encoder refused to start, and the configuration %1 lacks %2, which the "
                          "reference encoder's stock files leave to a per-sequence file: add %3 at its top, "
                          "e.g. \"%4\" (the encoder stops at the input's end).")
        .arg(native(absolute(path)), missing.join(QStringLiteral(", ")),
             missing.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"),
             examples.join(QStringLiteral("\", \"")));
}
