#ifndef EXPERIMENTVIEW_H
#define EXPERIMENTVIEW_H

#include "cellstate.h"
#include "viewtable.h"

#include "experiment/experimentplan.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class CellPanel;
class ExperimentFollower;
class ExperimentRunner;
class QCloseEvent;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QThread;
class QTimer;
class RdChart;
class ResultsGrid;

// An experiment at a glance, in a window of its own: the results table against a reference the
// user chooses among the plan's configurations, the RD curves of the chosen sequence, and every
// cell (waiting, running where and how far, done with its figures, or failed and why). It
// follows the results folder live, whoever fills it, and writes nothing there until Run here
// starts the experiment in this process, as morlunex-cli --experiment PLAN -j N does, sharing
// the folder with every other process and machine on it.
class ExperimentView : public QWidget
{
    Q_OBJECT

public:
    // `plan` has been read; `pollMs` is the time between looks at the folder.
    explicit ExperimentView(const ExperimentPlan &plan, QWidget *parent = nullptr, int pollMs = 1000);
    ~ExperimentView() override;

    // Reads the plan to follow it and opens a view of it; null, with a box that names the plan
    // and the reason (also on standard error), when it cannot be read. A plan whose programs
    // this machine lacks opens: only Run here is unavailable, and the view says why.
    static ExperimentView *open(const QString &planPath, QWidget *boxParent);

    const QList<TableRow> &table() const { return rows; }
    const QList<CellState> &cells() const;
    int reference() const { return referenceIndex; }
    void chooseReference(int configuration);
    // Whether the follower has told every cell once.
    bool filled() const { return told; }
    bool running() const { return !runner.isNull(); }

    ResultsGrid *grid() const { return results; }
    CellPanel *cellPanel() const { return panel; }
    RdChart *rdChart() const { return curves; }
    QSpinBox *encoders() const { return encodersBox; }
    QPushButton *runControl() const { return runButton; }
    QPushButton *stopControl() const { return stopButton; }

signals:
    // The table shows every cell as the follower first found them.
    void tableFilled();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *makeTop();
    void cellsChanged(const QList<CellState> &changed, bool first);
    void refresh();
    void showSequence(int sequence);
    void run();
    void runEnded();
    void showStatus();

    const ExperimentPlan plan;
    int referenceIndex = 0;
    QList<TableRow> rows;
    bool told = false;
    bool curvesStale = false;
    QThread *thread = nullptr;
    ExperimentFollower *follower = nullptr;
    QPointer<ExperimentRunner> runner;
    QTimer *refreshTimer = nullptr;
    QString runNote;

    QComboBox *referenceBox = nullptr;
    QSpinBox *encodersBox = nullptr;
    QPushButton *runButton = nullptr;
    QPushButton *stopButton = nullptr;
    QLabel *status = nullptr;
    ResultsGrid *results = nullptr;
    RdChart *curves = nullptr;
    CellPanel *panel = nullptr;
};

#endif // EXPERIMENTVIEW_H
