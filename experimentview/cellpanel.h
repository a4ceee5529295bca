#ifndef CELLPANEL_H
#define CELLPANEL_H

#include "cellstate.h"

#include "experiment/cellrecord.h"
#include "experiment/experimentplan.h"

#include <QList>
#include <QWidget>

class CellListModel;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;

// Every cell of the experiment in a list, and the chosen one in full below it: its state, its
// figures or why it failed with its encoder's last lines, its quality report (opened in the
// report view of the transcoder window) and its log, each one click away.
class CellPanel : public QWidget
{
    Q_OBJECT

public:
    CellPanel(const ExperimentPlan &plan, QWidget *parent = nullptr);

    void update(const QList<CellState> &changed);
    const QList<CellState> &cells() const;
    // Chooses a cell (and scrolls to it).
    void choose(int index);
    int chosen() const;

    // The chosen cell's quality report and log; null when the report cannot be read (a box
    // says why).
    QWidget *openReport();
    QWidget *openLog();

private:
    void showChosen();
    // The cell's files: in the folder of its configuration's cells made before when it was done
    // there, else in the plan's.
    CellFiles filesOf(const CellState &cell) const;

    const ExperimentPlan plan;
    CellListModel *model;
    QTableView *list;
    QPlainTextEdit *details;
    QPushButton *reportButton;
    QPushButton *logButton;
};

#endif // CELLPANEL_H
