#include "sequenceformat.h"

int SequenceFormat::cropUnitX() const
{
    return (chromaFormat == 1 || chromaFormat == 2) && !separateColourPlanes ? 2 : 1;
}

int SequenceFormat::cropUnitY() const
{
    return chromaFormat == 1 && !separateColourPlanes ? 2 : 1;
}

bool SequenceFormat::sameCoding(const SequenceFormat &other) const
{
    return codedWidth == other.codedWidth && codedHeight == other.codedHeight
        && chromaFormat == other.chromaFormat && separateColourPlanes == other.separateColourPlanes
        && bitDepthLuma == other.bitDepthLuma && bitDepthChroma == other.bitDepthChroma;
}

QString SequenceFormat::chromaName() const
{
    static const char *const names[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
    return QString::fromLatin1(names[chromaFormat & 3]);
}

QString SequenceFormat::describe() const
{
    QString depth = QString::number(bitDepthLuma);
    if (bitDepthChroma != bitDepthLuma && chromaFormat != 0)
        depth += QLatin1Char('/') + QString::number(bitDepthChroma);
    return QStringLiteral("%1x%2 %3 %4-bit")
        .arg(codedWidth).arg(codedHeight).arg(chromaName(), depth);
}
