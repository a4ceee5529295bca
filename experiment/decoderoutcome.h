#ifndef DECODEROUTCOME_H
#define DECODEROUTCOME_H

#include <QMetaType>
#include <QString>
#include <QStringList>

// How a decoder's run over a bitstream went.
struct DecoderOutcome
{
    bool ran = false;          // it started and exited by itself
    int exitCode = 0;          // 128 + N after signal N
    QString problem;           // why it did not run, or its failure, in one line
    double cpuSeconds = 0;
    qint64 pictures = 0;
    qint64 matched = 0;        // pictures whose decoded-picture hash checked out
    qint64 mismatched = 0;
    QStringList lastLines;
};

Q_DECLARE_METATYPE(DecoderOutcome)

#endif // DECODEROUTCOME_H
