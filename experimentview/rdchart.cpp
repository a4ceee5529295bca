#include "rdchart.h"

#include <QChart>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

#include <algorithm>
#include <iterator>

namespace {

// One colour a configuration, whatever series the chart holds besides its curves.
QColor curveColour(int configuration)
{
    static const QRgb colours[] = {0x209fdf, 0xd8562b, 0x3a9a3e, 0x8d4fbf, 0xc9a227, 0x5a5a5a, 0xe05c9a, 0x2bb3a6};
    return QColor::fromRgb(colours[configuration % int(std::size(colours))]);
}

} // namespace

// The chart and its series are made once; a new look at a sequence only puts points in, which
// costs far less than a chart made again whenever a cell is done.
RdChart::RdChart(const ExperimentPlan &plan, QWidget *parent)
    : QChartView(parent)
    , plan(plan)
    , qps(int(plan.qps().size()))
{
    for (const PlanSequence &sequence : plan.sequences())
        sequenceNames << sequence.name;
    auto *chart = new QChart;
    x = new QValueAxis(chart);
    x->setTitleText(tr("kbit/s"));
    x->setLabelFormat(QStringLiteral("%.0f"));
    y = new QValueAxis(chart);
    y->setTitleText(tr("PSNR-Y (dB)"));
    y->setLabelFormat(QStringLiteral("%.1f"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (int c = 0; c < plan.configurations().size(); ++c) {
        auto *curve = new QLineSeries(chart);
        curve->setName(plan.configurations().at(c).name);
        curve->setColor(curveColour(c));
        chart->addSeries(curve);
        curve->attachAxis(x);
        curve->attachAxis(y);
        curves << curve;
        // Each point a series of its own, so that its label can name its QP.
        for (int q = 0; q < qps; ++q) {
            auto *point = new QScatterSeries(chart);
            point->setMarkerSize(7);
            point->setColor(curve->color());
            point->setBorderColor(curve->color());
            point->setPointLabelsFormat(QStringLiteral("QP%1").arg(plan.qps().at(q)));
            point->setPointLabelsVisible(true);
            point->setPointLabelsClipping(false);
            chart->addSeries(point);
            point->attachAxis(x);
            point->attachAxis(y);
            chart->legend()->markers(point).value(0)->setVisible(false);
            points << point;
        }
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    setMinimumSize(320, 240);
    plot(-1, {});
}

void RdChart::plot(int sequence, const QList<CellState> &cells)
{
    shown = sequence;
    chart()->setTitle(sequence >= 0 ? tr("%1: PSNR-Y over the rate").arg(sequenceNames.value(sequence))
                                    : tr("Choose a sequence in the table"));
    double low[2] = {1e300, 1e300}, high[2] = {-1e300, -1e300};
    for (int c = 0; c < curves.size(); ++c) {
        QList<QPointF> line;
        for (int q = 0; q < qps; ++q) {
            const CellState *cell = sequence >= 0 ? &cells.at(plan.cellIndex(sequence, c, q)) : nullptr;
            QList<QPointF> at;
            if (cell && cell->kind == CellState::Done) {
                const QPointF point(cell->figures.kbitPerSecond, cell->figures.psnrY);
                at << point;
                line << point;
                low[0] = qMin(low[0], point.x());
                high[0] = qMax(high[0], point.x());
                low[1] = qMin(low[1], point.y());
                high[1] = qMax(high[1], point.y());
            }
            points.at(c * qps + q)->replace(at);
        }
        std::sort(line.begin(), line.end(), [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
        curves.at(c)->replace(line);
    }
    if (low[0] <= high[0]) {
        const double xMargin = qMax(1.0, (high[0] - low[0]) * 0.08), yMargin = qMax(0.2, (high[1] - low[1]) * 0.08);
        x->setRange(qMax(0.0, low[0] - xMargin), high[0] + xMargin);
        y->setRange(low[1] - yMargin, high[1] + yMargin);
        x->applyNiceNumbers();
    } else {
        x->setRange(0, 1000);
        y->setRange(25, 50);
    }
}
