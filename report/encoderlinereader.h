#ifndef ENCODERLINEREADER_H
#define ENCODERLINEREADER_H

#include "qualityreport.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QSet>

// Reads one encoder's standard output as it streams, in pieces of any size, and keeps a row
// for every picture line, e.g.
//
//   POC    4 TId: 2 ( B-SLICE, nQP 38 QP 38 )       3792 bits [Y 36.6944 dB    U 36.9735 dB    V 36.7834 dB] ...
//
// Other fields before the parentheses (a layer id) or inside them (the NAL unit type) are
// allowed; lines of any other shape are ignored. The lines come in coding order; rows() gives
// them in display order, counted from 0 within this stream. The picture order count starts
// again at an intra picture whose count is not above the highest so far (an IDR), or at a count
// seen before: the pictures before such a restart are shown before it.
class EncoderLineReader
{
public:
    void feed(const QByteArray &bytes);
    // The output has ended: a last line without its newline counts too.
    void finish();

    QList<PictureRow> rows() const;
    qint64 pictureCount() const { return closed.size() + open.size(); }

    // Reads one line (without its newline); false when it is no picture line.
    static bool parseLine(QByteArrayView line, PictureRow *row);

private:
    void takeLine(QByteArrayView line);
    void keepPartial(QByteArrayView piece);
    void readLine(QByteArrayView line);
    void closePeriod();

    QByteArray partial;          // the start of a line whose end has not come yet
    bool overlong = false;       // the current line is too long to be a picture line
    QList<PictureRow> closed;    // pictures before the last restart of the count, in display order
    QList<PictureRow> open;      // pictures since then, in coding order
    QSet<int> openPocs;
    int highestPoc = 0;
};

#endif // ENCODERLINEREADER_H
