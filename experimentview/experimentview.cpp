#include "experimentview.h"

#include "cellpanel.h"
#include "experimentfollower.h"
#include "rdchart.h"
#include "resultsgrid.h"

#include "experimentrun/experimentrunner.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Changes the follower tells of within this time make one new table.
constexpr int refreshMs = 250;

// Which experiments the program opens, and why one cannot be: warnings go to standard error, the
// rest is there for QT_LOGGING_RULES="morlunex.experiment.info=true".
Q_LOGGING_CATEGORY(experimentLog, "morlunex.experiment", QtWarningMsg)

} // namespace

ExperimentView::ExperimentView(const ExperimentPlan &plan, QWidget *parent, int pollMs)
    : QWidget(parent, Qt::Window)
    , plan(plan)
    , referenceIndex(qMax(0, plan.anchorIndex()))
    , thread(new QThread(this))
    , follower(new ExperimentFollower(plan, pollMs))
    , refreshTimer(new QTimer(this))
{
    qRegisterMetaType<QList<CellState>>();
    setWindowTitle(tr("Experiment %1").arg(QDir::toNativeSeparators(plan.path())));
    results = new ResultsGrid(this->plan, this);
    curves = new RdChart(this->plan, this);
    panel = new CellPanel(this->plan, this);
    auto *upper = new QSplitter(Qt::Horizontal, this);
    upper->addWidget(results);
    upper->addWidget(curves);
    upper->setStretchFactor(0, 3);
    upper->setStretchFactor(1, 2);
    upper->setSizes({700, 460});
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(upper);
    split->addWidget(panel);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(makeTop());
    layout->addWidget(split, 1);
    layout->addWidget(status = new QLabel(this));
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Its text changes with every cell: a label that asks for the width of its text would lay
    // the whole window out again each time.
    status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    resize(1180, 820);

    refreshTimer->setSingleShot(true);
    refreshTimer->setInterval(refreshMs);
    connect(refreshTimer, &QTimer::timeout, this, &ExperimentView::refresh);
    connect(results, &ResultsGrid::sequenceChosen, this, &ExperimentView::showSequence);
    follower->moveToThread(thread);
    connect(thread, &QThread::finished, follower, &QObject::deleteLater);
    connect(follower, &ExperimentFollower::changed, this, &ExperimentView::cellsChanged);
    connect(thread, &QThread::started, follower, &ExperimentFollower::start);
    thread->start();
    refresh();
}

ExperimentView::~ExperimentView()
{
    follower->stop();
    thread->quit();
    thread->wait();
    delete runner;
}

ExperimentView *ExperimentView::open(const QString &planPath, QWidget *boxParent)
{
    ExperimentPlan plan;
    if (!plan.read(planPath, ExperimentPlan::ToFollow)) {
        const QString text = tr("Cannot open the experiment %1:\n%2").arg(QDir::toNativeSeparators(planPath), plan.error());
        qCWarning(experimentLog).noquote() << text;
        QMessageBox::warning(boxParent, tr("Experiment"), text);
        return nullptr;
    }
    qCInfo(experimentLog).noquote() << QStringLiteral("Following the experiment %1 in %2")
                                           .arg(QDir::toNativeSeparators(plan.path()), QDir::toNativeSeparators(plan.folder()));
    auto *view = new ExperimentView(plan);
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->show();
    return view;
}

QWidget *ExperimentView::makeTop()
{
    auto *top = new QWidget(this);
    referenceBox = new QComboBox(top);
    for (int c = 0; c < plan.configurations().size(); ++c)
        referenceBox->addItem(c == plan.anchorIndex() ? tr("%1 (the plan's anchor)").arg(plan.configurations().at(c).name)
                                                      : plan.configurations().at(c).name);
    referenceBox->setCurrentIndex(referenceIndex);
    connect(referenceBox, &QComboBox::currentIndexChanged, this, &ExperimentView::chooseReference);
    encodersBox = new QSpinBox(top);
    encodersBox->setRange(1, 256);
    encodersBox->setValue(qMax(1, QThread::idealThreadCount()));
    encodersBox->setToolTip(tr("Encoders at once in this process"));
    runButton = new QPushButton(tr("&Run here"), top);
    stopButton = new QPushButton(tr("&Stop"), top);
    stopButton->setEnabled(false);
    // A plan that names programs this machine lacks is followed; it runs elsewhere.
    if (!plan.runProblem().isEmpty()) {
        runButton->setEnabled(false);
        encodersBox->setEnabled(false);
        runButton->setToolTip(tr("It cannot run on this machine: %1").arg(plan.runProblem()));
        runNote = tr("Run here is unavailable: %1").arg(plan.runProblem());
    }
    connect(runButton, &QPushButton::clicked, this, &ExperimentView::run);
    connect(stopButton, &QPushButton::clicked, this, [this] {
        if (runner) {
            stopButton->setEnabled(false);
            runNote = tr("Stopping…");
            runner->stop();
            showStatus();
        }
    });
    auto *layout = new QHBoxLayout(top);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(tr("Reference:"), top));
    layout->addWidget(referenceBox);
    layout->addStretch(1);
    layout->addWidget(new QLabel(tr("Encoders:"), top));
    layout->addWidget(encodersBox);
    layout->addWidget(runButton);
    layout->addWidget(stopButton);
    return top;
}

const QList<CellState> &ExperimentView::cells() const
{
    return panel->cells();
}

void ExperimentView::chooseReference(int configuration)
{
    if (configuration < 0 || configuration >= plan.configurations().size() || configuration == referenceIndex)
        return;
    referenceIndex = configuration;
    if (referenceBox->currentIndex() != configuration)
        referenceBox->setCurrentIndex(configuration);
    refresh();
}

void ExperimentView::cellsChanged(const QList<CellState> &changed, bool first)
{
    // How far a running cell has come shows in the cell list only: the table and the curves are
    // made again only when a cell is done, failed or no longer so.
    bool settledChanged = first;
    for (const CellState &cell : changed) {
        const CellState &before = panel->cells().at(cell.index);
        const bool figures = (before.kind == CellState::Done) != (cell.kind == CellState::Done)
                             || (before.kind == CellState::Failed) != (cell.kind == CellState::Failed)
                             || before.figures.kbitPerSecond != cell.figures.kbitPerSecond;
        settledChanged = settledChanged || figures;
        curvesStale = curvesStale || (figures && cell.figures.sequence == curves->sequence());
    }
    panel->update(changed);
    if (first && !told) {
        told = true;
        refresh();
        // The first sequence's curves and cells to begin with, rather than an empty plot.
        if (rows.size() > 1 && rows.at(1).kind == TableRow::Sequence)
            results->setCurrentCell(1, ResultsGrid::SequenceColumn);
        emit tableFilled();
    } else if (settledChanged && !refreshTimer->isActive()) {
        refreshTimer->start();
    }
    showStatus();
}

void ExperimentView::refresh()
{
    rows = ViewTable::of(plan, panel->cells(), referenceIndex);
    results->fill(rows);
    if (curvesStale) {
        curvesStale = false;
        curves->plot(curves->sequence(), panel->cells());
    }
}

void ExperimentView::showSequence(int sequence)
{
    curvesStale = false;
    curves->plot(sequence, panel->cells());
    panel->choose(plan.cellIndex(sequence, 0, 0));
}

void ExperimentView::run()
{
    if (runner)
        return;
    runner = new ExperimentRunner(plan, encodersBox->value(), this);
    connect(runner, &ExperimentRunner::finished, this, &ExperimentView::runEnded);
    connect(runner, qOverload<const ExperimentRunner::Event &>(&ExperimentRunner::event), this,
            [this](const ExperimentRunner::Event &event) {
        if (event.kind != ExperimentRunner::Event::Done)
            runNote = event.text;
        showStatus();
    });
    QString problem;
    if (!runner->start(&problem)) {
        delete runner;
        QMessageBox::warning(this, tr("Experiment"), tr("Cannot run the experiment in %1:\n%2")
                                                         .arg(QDir::toNativeSeparators(plan.folder()), problem));
        return;
    }
    runNote.clear();
    runButton->setEnabled(false);
    encodersBox->setEnabled(false);
    stopButton->setEnabled(true);
    showStatus();
}

void ExperimentView::runEnded()
{
    const QString failure = runner ? runner->writeFailure() : QString();
    runner->deleteLater();
    runner = nullptr;
    runNote = failure.isEmpty() ? tr("The run here has ended.") : failure;
    runButton->setEnabled(true);
    encodersBox->setEnabled(true);
    stopButton->setEnabled(false);
    showStatus();
}

void ExperimentView::showStatus()
{
    int done = 0, failed = 0, running = 0;
    QStringList hosts;
    for (const CellState &cell : panel->cells()) {
        done += cell.kind == CellState::Done ? 1 : 0;
        failed += cell.kind == CellState::Failed ? 1 : 0;
        running += cell.kind == CellState::Running ? 1 : 0;
        for (const QString &host : cell.hosts)
            if (cell.kind == CellState::Running && !hosts.contains(host))
                hosts << host;
    }
    QString text = tr("%1 of %2 cells done, %3 failed, %4 running").arg(done).arg(cells().size()).arg(failed).arg(running);
    if (!hosts.isEmpty())
        text += tr(" on %1").arg(hosts.join(QStringLiteral(", ")));
    text += runner ? tr("; running here with %1 encoders").arg(encodersBox->value()) : tr("; following the folder");
    if (!runNote.isEmpty())
        text += QStringLiteral(". ") + runNote;
    status->setText(text);
}

void ExperimentView::closeEvent(QCloseEvent *event)
{
    if (runner) {
        const auto answer = QMessageBox::question(this, tr("Experiment"),
                                                  tr("The experiment runs here. Stop it and close the window? "
                                                     "Finished cells are kept."));
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    event->accept();
}
