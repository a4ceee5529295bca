#ifndef CELLSTATE_H
#define CELLSTATE_H

#include "experiment/cellfigures.h"
#include "experiment/experimentplan.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

// One cell as the experiment view shows it, worked out from its files alone, so that a cell
// that another process or machine works on shows the same as one run here. A plain value: it
// crosses from the thread that follows the folder to the window. It holds no path: a plan may
// have a hundred thousand cells, and the cell's files follow from the plan (CellFiles::of, and
// the folder of cells made before where madeBefore says so).
struct CellState
{
    enum Kind {
        Waiting,   // not made yet, to be made again, or its bitstream still to be decoded
        Running,   // a claim holds it: encoding, or decoding
        Done,
        Failed
    };

    int index = 0;                 // in the plan's order (ExperimentPlan::cellIndex)
    int qpIndex = 0;
    Kind kind = Waiting;
    CellFigures figures;           // sequence, configuration, QP, and the figures once done
    bool madeBefore = false;       // done in the folder of its configuration's cells made before
    QString note;                  // more words: why it waits, or what it runs
    QString holder;                // running: the claim's holder, "node2 (process 4242)"
    QStringList hosts;             // running: every host that works on it, segments included
    qint64 picturesDone = -1;      // running: how far, where it can be told
    qint64 picturesTotal = -1;
    int segmentsDone = 0;          // running in segments
    int segmentsTotal = 0;

    // The cell at the plan's index as it shows with nothing read of its files: waiting.
    static CellState at(const ExperimentPlan &plan, int index)
    {
        const ExperimentPlan::CellPlace place = plan.cellAt(index);
        CellState cell;
        cell.index = index;
        cell.qpIndex = place.qpIndex;
        cell.figures.sequence = place.sequence;
        cell.figures.configuration = place.configuration;
        cell.figures.qp = plan.qps().at(place.qpIndex);
        return cell;
    }
};

Q_DECLARE_METATYPE(CellState)

#endif // CELLSTATE_H
