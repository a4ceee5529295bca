#ifndef CELLFIGURES_H
#define CELLFIGURES_H

#include <QString>
#include <QStringList>

#include <optional>

// One cell as its record and report tell it.
struct CellFigures
{
    enum State { Missing, Done, Failed };
    int sequence = 0;
    int configuration = 0;
    int qp = 0;
    State state = Missing;
    double kbitPerSecond = 0;
    double psnrY = 0, psnrU = 0, psnrV = 0;
    double psnrYuv = 0;                       // the planes' PSNRs weighted as the plan says
    double encoderSeconds = 0;                // CPU, user + system
    std::optional<double> decoderSeconds;     // when decoded
    QString hash;                             // the hash check in words; empty when not decoded
    int exitCode = 0;                         // a failed cell's
    QString failure;
    QStringList lastLines;
    QString bitstream;
    QString log;
};

#endif // CELLFIGURES_H
