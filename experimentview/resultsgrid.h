#ifndef RESULTSGRID_H
#define RESULTSGRID_H

#include "viewtable.h"

#include <QStringList>
#include <QTableWidget>

class ExperimentPlan;

// The results table as results.md has it (class, sequence, BD-rate Y/U/V/YUV, EncT, DecT), one
// block a test configuration under a heading that names it and the reference; a sequence whose
// cells are not all done says how many are, and how many failed, in place of its figures.
// Choosing a sequence's row tells which.
class ResultsGrid : public QTableWidget
{
    Q_OBJECT

public:
    enum Column { ClassColumn, SequenceColumn, YColumn, UColumn, VColumn, YuvColumn, EncTColumn, DecTColumn, columns };

    ResultsGrid(const ExperimentPlan &plan, QWidget *parent = nullptr);

    // Shows the rows, keeping the chosen sequence chosen.
    void fill(const QList<TableRow> &rows);

    // What a sequence's row says where it has no figures ("5 of 8 cells done, 1 failed").
    static QString cellsText(const TableRow &row);

signals:
    void sequenceChosen(int sequence);

private:
    void fillRow(int r, const TableRow &row);
    void fillHeading(int r, const TableRow &row);

    QStringList sequenceNames;
    QStringList configurationNames;
};

#endif // RESULTSGRID_H
