#include "rdchart.h"

#include "experiment/experimentplan.h"

#include <QChart>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

#include <algorithm>

RdChart::RdChart(const ExperimentPlan &plan, QWidget *parent)
    : QChartView(parent)
    , qps(int(plan.qps().size()))
{
    for (const PlanSequence &sequence : plan.sequences())
        sequenceNames << sequence.name;
    for (const PlanConfiguration &configuration : plan.configurations())
        configurationNames << configuration.name;
    setRenderHint(QPainter::Antialiasing);
    setMinimumSize(320, 240);
    plot(-1, {});
}

void RdChart::plot(int sequence, const QList<CellState> &cells)
{
    shown = sequence;
    auto *chart = new QChart;
    chart->setTitle(sequence >= 0 ? tr("%1: PSNR-Y over the rate").arg(sequenceNames.value(sequence))
                                  : tr("Choose a sequence in the table"));
    auto *x = new QValueAxis;
    x->setTitleText(tr("kbit/s"));
    x->setLabelFormat(QStringLiteral("%.0f"));
    auto *y = new QValueAxis;
    y->setTitleText(tr("PSNR-Y (dB)"));
    y->setLabelFormat(QStringLiteral("%.1f"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double low[2] = {1e300, 1e300}, high[2] = {-1e300, -1e300};
    const int perSequence = qps * int(configurationNames.size());
    for (int c = 0; sequence >= 0 && c < configurationNames.size(); ++c) {
        QList<const CellState *> done;
        for (int q = 0; q < qps; ++q) {
            const CellState &cell = cells.at(sequence * perSequence + c * qps + q);
            if (cell.kind == CellState::Done)
                done << &cell;
        }
        std::sort(done.begin(), done.end(), [](const CellState *a, const CellState *b) {
            return a->figures.kbitPerSecond < b->figures.kbitPerSecond;
        });
        auto *curve = new QLineSeries;
        curve->setName(configurationNames.at(c));
        QList<QPointF> points;
        for (const CellState *cell : std::as_const(done))
            points << QPointF(cell->figures.kbitPerSecond, cell->figures.psnrY);
        curve->replace(points);
        chart->addSeries(curve);
        curve->attachAxis(x);
        curve->attachAxis(y);
        // Each point its own one-point series, so that its label can name its QP.
        for (const CellState *cell : std::as_const(done)) {
            auto *point = new QScatterSeries;
            point->append(cell->figures.kbitPerSecond, cell->figures.psnrY);
            point->setMarkerSize(7);
            point->setColor(curve->color());
            point->setBorderColor(curve->color());
            point->setPointLabelsFormat(QStringLiteral("QP%1").arg(cell->figures.qp));
            point->setPointLabelsVisible(true);
            point->setPointLabelsClipping(false);
            chart->addSeries(point);
            point->attachAxis(x);
            point->attachAxis(y);
            chart->legend()->markers(point).value(0)->setVisible(false);
            low[0] = qMin(low[0], cell->figures.kbitPerSecond);
            high[0] = qMax(high[0], cell->figures.kbitPerSecond);
            low[1] = qMin(low[1], cell->figures.psnrY);
            high[1] = qMax(high[1], cell->figures.psnrY);
        }
    }
    if (low[0] <= high[0]) {
        const double xMargin = qMax(1.0, (high[0] - low[0]) * 0.08), yMargin = qMax(0.2, (high[1] - low[1]) * 0.08);
        x->setRange(qMax(0.0, low[0] - xMargin), high[0] + xMargin);
        y->setRange(low[1] - yMargin, high[1] + yMargin);
        x->applyNiceNumbers();
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    QChart *old = this->chart();
    setChart(chart);
    delete old;
}
