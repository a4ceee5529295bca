#ifndef RDCHART_H
#define RDCHART_H

#include "cellstate.h"

#include "experiment/experimentplan.h"

#include <QChartView>
#include <QList>
#include <QStringList>

class QLineSeries;
class QScatterSeries;
class QValueAxis;

// The rate-distortion curves of one sequence: PSNR-Y over the rate, one curve a configuration
// with its done cells, each point labelled with its QP.
class RdChart : public QChartView
{
    Q_OBJECT

public:
    RdChart(const ExperimentPlan &plan, QWidget *parent = nullptr);

    // Draws the sequence's curves from `cells` (every cell, in the plan's order).
    void plot(int sequence, const QList<CellState> &cells);
    int sequence() const { return shown; }

private:
    const ExperimentPlan plan;
    QStringList sequenceNames;
    int qps = 0;
    QValueAxis *x = nullptr;
    QValueAxis *y = nullptr;
    QList<QLineSeries *> curves;        // by configuration
    QList<QScatterSeries *> points;     // by configuration, then QP
    int shown = -1;
};

#endif // RDCHART_H
