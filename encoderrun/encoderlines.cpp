#include "encoderlines.h"

QByteArray EncoderLines::take(const QByteArray &piece, qint64 *coded)
{
    *coded = piece.count("\nPOC ");
    if (atLineStart && piece.startsWith("POC "))
        ++*coded;
    if (!piece.isEmpty())
        atLineStart = piece.endsWith('\n');
    pictureLines.feed(piece);
    if (prefix.isEmpty())
        return piece;
    partialLine += piece;
    QByteArray lines;
    qsizetype from = 0;
    for (qsizetype end = partialLine.indexOf('\n'); end >= 0; end = partialLine.indexOf('\n', from)) {
        lines += prefix + partialLine.mid(from, end + 1 - from);
        from = end + 1;
    }
    partialLine.remove(0, from);
    return lines;
}

QByteArray EncoderLines::finish()
{
    pictureLines.finish();
    QByteArray rest;
    if (!prefix.isEmpty() && !partialLine.isEmpty())
        rest = prefix + partialLine + '\n';
    partialLine.clear();
    return rest;
}

void EncoderLines::restart()
{
    partialLine.clear();
    atLineStart = true;
    pictureLines = EncoderLineReader();
}
