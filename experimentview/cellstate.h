#ifndef CELLSTATE_H
#define CELLSTATE_H

#include "experiment/cellfigures.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

// One cell as the experiment view shows it, worked out from its files alone, so that a cell
// that another process or machine works on shows the same as one run here. A plain value: it
// crosses from the thread that follows the folder to the window.
struct CellState
{
    enum Kind {
        Waiting,   // not made yet, to be made again, or its bitstream still to be decoded
        Running,   // a claim holds it: encoding, or decoding
        Done,
        Failed
    };

    int index = 0;                 // in the plan's order: sequence, configuration, QP
    int qpIndex = 0;
    Kind kind = Waiting;
    CellFigures figures;           // sequence, configuration, QP, files, and the figures once done
    QString report;                // the quality report's path
    QString note;                  // more words: why it waits, or what it runs
    QString holder;                // running: the claim's holder, "node2 (process 4242)"
    QStringList hosts;             // running: every host that works on it, segments included
    qint64 picturesDone = -1;      // running: how far, where it can be told
    qint64 picturesTotal = -1;
    int segmentsDone = 0;          // running in segments
    int segmentsTotal = 0;
};

Q_DECLARE_METATYPE(CellState)

#endif // CELLSTATE_H
