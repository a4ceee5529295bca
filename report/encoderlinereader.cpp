#include "encoderlinereader.h"

#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <cmath>

namespace {

// A picture line is about 150 characters; anything much longer is something else, and is
// not kept in memory while its end is awaited.
constexpr qsizetype maxLineBytes = 4096;

bool readPsnr(const QString &text, double *value)
{
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
}

void sortByPoc(QList<PictureRow> *rows)
{
    std::stable_sort(rows->begin(), rows->end(),
                     [](const PictureRow &a, const PictureRow &b) { return a.poc < b.poc; });
}

} // namespace

void EncoderLineReader::feed(const QByteArray &bytes)
{
    const QByteArrayView view(bytes);
    qsizetype start = 0;
    for (qsizetype end = view.indexOf('\n'); end >= 0; end = view.indexOf('\n', start)) {
        takeLine(view.sliced(start, end - start));
        start = end + 1;
    }
    keepPartial(view.sliced(start));
}

void EncoderLineReader::finish()
{
    if (!partial.isEmpty() && !overlong)
        readLine(partial);
    partial.clear();
    overlong = false;
}

void EncoderLineReader::takeLine(QByteArrayView line)
{
    if (overlong) {
        overlong = false;
        partial.clear();
        return;
    }
    if (partial.isEmpty()) {
        readLine(line);
        return;
    }
    partial.append(line);
    readLine(partial);
    partial.clear();
}

void EncoderLineReader::keepPartial(QByteArrayView piece)
{
    if (overlong || piece.isEmpty())
        return;
    if (partial.size() + piece.size() > maxLineBytes) {
        overlong = true;
        partial.clear();
        return;
    }
    partial.append(piece);
}

void EncoderLineReader::readLine(QByteArrayView line)
{
    PictureRow row;
    if (!parseLine(line, &row))
        return;
    const bool restart = !open.isEmpty()
                         && ((row.type == 'I' && row.poc <= highestPoc) || openPocs.contains(row.poc));
    if (restart)
        closePeriod();
    highestPoc = open.isEmpty() ? row.poc : qMax(highestPoc, row.poc);
    open.append(row);
    openPocs.insert(row.poc);
}

void EncoderLineReader::closePeriod()
{
    sortByPoc(&open);
    closed.append(open);
    open.clear();
    openPocs.clear();
}

QList<PictureRow> EncoderLineReader::rows() const
{
    QList<PictureRow> current = open;
    sortByPoc(&current);
    QList<PictureRow> all = closed;
    all.append(current);
    for (qsizetype i = 0; i < all.size(); ++i)
        all[i].index = i;
    return all;
}

bool EncoderLineReader::parseLine(QByteArrayView line, PictureRow *row)
{
    line = line.trimmed();
    if (!line.startsWith("POC") || line.size() > maxLineBytes)
        return false;
    // POC, then anything up to the parentheses (TId, a layer id), the slice type and QP
    // inside them among other fields, the bits, and the three PSNR values.
    static const QRegularExpression shape(QStringLiteral(
        "^POC\\s+(-?\\d+)\\b[^(]*\\(([^)]*)\\)\\s*(\\d+)\\s+bits\\s*\\[\\s*Y\\s+(\\S+)\\s+dB"
        "(?:\\s+U\\s+(\\S+)\\s+dB\\s+V\\s+(\\S+)\\s+dB)?"));
    // "b" marks a B picture that no other picture refers to.
    static const QRegularExpression sliceType(QStringLiteral("\\b([IPBb])-SLICE\\b"));
    // "QP", not the "nQP" before it.
    static const QRegularExpression quantiser(QStringLiteral("\\bQP\\s+(-?\\d+)"));

    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return false;
    const QString inside = match.captured(2);
    const QRegularExpressionMatch type = sliceType.match(inside);
    const QRegularExpressionMatch qp = quantiser.match(inside);
    if (!type.hasMatch() || !qp.hasMatch())
        return false;

    bool pocOk = false, bitsOk = false, qpOk = false;
    PictureRow read;
    read.poc = match.captured(1).toInt(&pocOk);
    read.type = type.captured(1).at(0).toUpper().toLatin1();
    read.qp = qp.captured(1).toInt(&qpOk);
    read.bits = match.captured(3).toLongLong(&bitsOk);
    if (!pocOk || !bitsOk || !qpOk || !readPsnr(match.captured(4), &read.psnrY))
        return false;
    // An encoder of luma only may leave the chroma figures out, or print zeros for them.
    read.psnrU = read.psnrV = unknownPsnr;
    if (match.hasCaptured(5)
        && (!readPsnr(match.captured(5), &read.psnrU) || !readPsnr(match.captured(6), &read.psnrV)))
        return false;
    chromaUnknownWhereZero(&read.psnrU, &read.psnrV);
    *row = read;
    return true;
}
