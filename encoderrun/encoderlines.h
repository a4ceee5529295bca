#ifndef ENCODERLINES_H
#define ENCODERLINES_H

#include "report/encoderlinereader.h"

#include <QByteArray>
#include <QList>

// One encoder's standard output on its way to the log, in pieces of any size: handed on as it
// comes, or with a prefix in whole lines only, each with the prefix in front, so that the lines
// of encoders side by side never mix; its picture lines kept for the report; its "POC" lines,
// one for each picture it coded, counted.
class EncoderLines
{
public:
    void setPrefix(const QByteArray &linePrefix) { prefix = linePrefix; }
    // A piece of the output: what to hand on now (maybe nothing), and in *coded the pictures
    // whose lines it completes.
    QByteArray take(const QByteArray &piece, qint64 *coded);
    // The output has ended: the rest of a last line without its newline, to hand on.
    QByteArray finish();
    // The picture lines, in display order.
    QList<PictureRow> rows() const { return pictureLines.rows(); }
    // Another encoder's output follows: what the last one said is forgotten.
    void restart();

private:
    QByteArray prefix;
    QByteArray partialLine;         // the start of a line not yet handed on
    bool atLineStart = true;        // the output so far ends with a whole line
    EncoderLineReader pictureLines;
};

#endif // ENCODERLINES_H
