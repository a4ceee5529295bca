#include "resultsgrid.h"

#include "experiment/experimentplan.h"

#include <QHeaderView>
#include <QSignalBlocker>

namespace {

const QString dash = QStringLiteral("–");

QString percent(const std::optional<double> &value, int decimals)
{
    return value ? QString::number(*value, 'f', decimals) + QStringLiteral(" %") : dash;
}

QString timeRatio(const std::optional<double> &value)
{
    return value ? percent(*value * 100, 1) : dash;
}

QTableWidgetItem *gridItem(const QString &text, bool number, bool bold)
{
    auto *cell = new QTableWidgetItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (number)
        cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (bold) {
        QFont font = cell->font();
        font.setBold(true);
        cell->setFont(font);
    }
    return cell;
}

} // namespace

ResultsGrid::ResultsGrid(const ExperimentPlan &plan, QWidget *parent)
    : QTableWidget(0, columns, parent)
{
    for (const PlanSequence &sequence : plan.sequences())
        sequenceNames << sequence.name;
    for (const PlanConfiguration &configuration : plan.configurations())
        configurationNames << configuration.name;
    // The YUV figure's weights named as in every other table of the results.
    setHorizontalHeaderLabels({tr("Class"), tr("Sequence"), tr("BD-rate Y"), tr("BD-rate U"), tr("BD-rate V"),
                               tr("BD-rate YUV (%1)").arg(plan.yuvWeights().text()), tr("EncT"), tr("DecT")});
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    connect(this, &QTableWidget::currentCellChanged, this, [this](int row) {
        const QTableWidgetItem *first = item(row, ClassColumn);
        if (first && first->data(Qt::UserRole).isValid())
            emit sequenceChosen(first->data(Qt::UserRole).toInt());
    });
}

void ResultsGrid::fill(const QList<TableRow> &rows)
{
    const QTableWidgetItem *current = currentItem() ? item(currentRow(), ClassColumn) : nullptr;
    const QVariant chosen = current ? current->data(Qt::UserRole) : QVariant();
    const QVariant chosenConfiguration = current ? current->data(Qt::UserRole + 1) : QVariant();
    const QSignalBlocker quiet(this);
    clearSpans();
    setRowCount(int(rows.size()));
    int again = -1;
    for (int r = 0; r < rows.size(); ++r) {
        const TableRow &row = rows.at(r);
        if (row.kind == TableRow::Heading)
            fillHeading(r, row);
        else
            fillRow(r, row);
        if (row.kind == TableRow::Sequence && chosen.isValid() && row.figures.sequence == chosen.toInt()
            && row.configuration == chosenConfiguration.toInt())
            again = r;
    }
    if (again >= 0)
        setCurrentCell(again, SequenceColumn);
    // Measured once a fill: a header that sizes itself to its contents measures every row again
    // on every item put in, which makes a table of hundreds of rows take seconds.
    resizeColumnsToContents();
}

void ResultsGrid::fillHeading(int r, const TableRow &row)
{
    setItem(r, ClassColumn, gridItem(tr("%1 against %2").arg(configurationNames.value(row.configuration),
                                                         configurationNames.value(row.reference)),
                                 false, true));
    for (int c = SequenceColumn; c < columns; ++c)
        setItem(r, c, gridItem(QString(), false, false));
    setSpan(r, ClassColumn, 1, columns);
}

void ResultsGrid::fillRow(int r, const TableRow &row)
{
    const Comparison &figures = row.figures;
    const bool average = row.kind != TableRow::Sequence;
    QString first = figures.className.isEmpty() ? dash : figures.className;
    QString second;
    if (average) {
        first = row.kind == TableRow::Overall ? tr("Overall") : tr("Class %1").arg(figures.className);
        second = tr("%1 of %2 sequences").arg(figures.sequences).arg(figures.sequencesTotal);
    } else {
        second = sequenceNames.value(figures.sequence);
    }
    QTableWidgetItem *head = gridItem(first, false, average);
    if (!average) {
        head->setData(Qt::UserRole, figures.sequence);
        head->setData(Qt::UserRole + 1, row.configuration);
    }
    setItem(r, ClassColumn, head);
    setItem(r, SequenceColumn, gridItem(second, false, average));
    // A sequence still under way says how far it is, one that cannot be compared why, across
    // its BD-rate columns.
    const QString instead = average ? QString()
                            : row.cellsDone < row.cellsTotal ? cellsText(row)
                            : !figures.unavailable.isEmpty() ? tr("n/a: %1").arg(figures.unavailable)
                                                              : QString();
    if (!instead.isEmpty()) {
        QTableWidgetItem *text = gridItem(instead, false, false);
        text->setToolTip(instead);
        setItem(r, YColumn, text);
        for (int plane = 1; plane < Comparison::planes; ++plane)
            setItem(r, YColumn + plane, gridItem(QString(), false, false));
        setSpan(r, YColumn, 1, Comparison::planes);
    } else {
        for (int plane = 0; plane < Comparison::planes; ++plane)
            setItem(r, YColumn + plane, gridItem(percent(figures.bdRate[plane], 2), figures.bdRate[plane].has_value(), average));
    }
    setItem(r, EncTColumn, gridItem(timeRatio(figures.encT), true, average));
    setItem(r, DecTColumn, gridItem(timeRatio(figures.decT), true, average));
}

QString ResultsGrid::cellsText(const TableRow &row)
{
    QString text = tr("%1 of %2 cells done").arg(row.cellsDone).arg(row.cellsTotal);
    if (row.cellsFailed > 0)
        text += tr(", %1 failed").arg(row.cellsFailed);
    return text;
}
