#include "reportdialog.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCursor>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSaveFile>
#include <QToolTip>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace {

struct TypeStyle
{
    char type;
    const char *name;
    QColor colour;
};

// In drawing order: the rarer, taller intra pictures on top, where they stay visible when a
// long encode packs several pictures into one pixel.
const TypeStyle typeStyles[] = {
    {'B', "B pictures", QColor(0x76, 0xc8, 0x93)},
    {'P', "P pictures", QColor(0x2e, 0x86, 0xc1)},
    {'I', "I pictures", QColor(0xc0, 0x39, 0x2b)},
};

// A tick step of 1, 2 or 5 times a power of ten that gives about `ticks` ticks over the span.
double niceStep(double span, int ticks)
{
    const double rough = qMax(1.0, span / ticks);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough)
            return factor * power;
    }
    return 10 * power;
}

} // namespace

ReportDialog::ReportDialog(const QualityReport &report, const QString &outputName, QWidget *parent)
    : QDialog(parent)
    , report(report)
    , rows(report.rows())
    , outputName(outputName)
{
    setWindowTitle(tr("Report: %1").arg(QFileInfo(outputName).fileName()));
    auto *layout = new QVBoxLayout(this);

    auto *summary = new QLabel(summaryText(report.summary()), this);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(summary, 0);

    if (rows.isEmpty()) {
        auto *none = new QLabel(tr("The encoder printed no picture lines, so there is nothing to "
                                   "plot."), this);
        none->setAlignment(Qt::AlignCenter);
        layout->addWidget(none, 1);
    } else {
        view = makeChart();
        layout->addWidget(view, 1);
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *csv = buttons->addButton(tr("Save CSV..."), QDialogButtonBox::ActionRole);
    QPushButton *json = buttons->addButton(tr("Save JSON..."), QDialogButtonBox::ActionRole);
    QPushButton *png = buttons->addButton(tr("Save PNG..."), QDialogButtonBox::ActionRole);
    png->setEnabled(view != nullptr);
    connect(csv, &QAbstractButton::clicked, this, [this] { pickAndSave(QStringLiteral("csv"), tr("CSV files (*.csv)")); });
    connect(json, &QAbstractButton::clicked, this, [this] { pickAndSave(QStringLiteral("json"), tr("JSON files (*.json)")); });
    connect(png, &QAbstractButton::clicked, this, [this] { pickAndSave(QStringLiteral("png"), tr("PNG images (*.png)")); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons, 0);

    resize(960, 600);
}

QString ReportDialog::summaryText(const ReportSummary &s)
{
    QStringList first;
    first << (s.pictures == 1 ? tr("1 picture") : tr("%L1 pictures").arg(s.pictures));
    if (s.frameRate > 0)
        first << tr("%1 s at %2 fps").arg(s.durationSeconds, 0, 'f', 2).arg(s.frameRate, 0, 'g', 6);
    if (s.bytes >= 0)
        first << tr("%L1 bytes").arg(s.bytes);
    if (s.kbitPerSecond > 0)
        first << tr("%1 kbit/s").arg(s.kbitPerSecond, 0, 'f', 1);
    if (s.qp >= 0)
        first << tr("QP %1").arg(s.qp);

    QStringList lines{first.join(QStringLiteral(" \u00b7 "))};
    if (s.hasQuality)
        lines << tr("PSNR Y %1  U %2  V %3  YUV %4 dB \u00b7 lowest Y %5 dB at picture %6")
                     .arg(QualityReport::psnrText(s.psnrY), QualityReport::psnrText(s.psnrU), QualityReport::psnrText(s.psnrV), QualityReport::psnrText(s.psnrYuv))
                     .arg(s.lowestPsnrY, 0, 'f', 2).arg(s.lowestPsnrYPicture);
    lines << tr("Encoded in %1 (%2 pictures per second)").arg(QualityReport::clockText(s.encodingSeconds))
                 .arg(s.picturesPerSecond, 0, 'f', 1);
    return lines.join(QLatin1Char('\n'));
}

QChartView *ReportDialog::makeChart()
{
    auto *chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    const ChartAxes axes = addAxes(chart);
    addPictureBars(chart, axes);
    addPsnrLine(chart, axes);

    auto *chartView = new QChartView(chart, this);
    chartView->setRenderHint(QPainter::Antialiasing);
    return chartView;
}

// The pictures along the bottom, their bits on the left and their PSNR-Y on the right.
ReportDialog::ChartAxes ReportDialog::addAxes(QChart *chart) const
{
    const double firstIndex = rows.first().index, lastIndex = rows.last().index;
    ChartAxes axes;
    axes.picture = new QValueAxis;
    axes.picture->setTitleText(tr("Picture (display order)"));
    axes.picture->setLabelFormat(QStringLiteral("%.0f"));
    axes.picture->setRange(firstIndex - 0.5, lastIndex + 0.5);
    axes.picture->setTickType(QValueAxis::TicksDynamic);
    axes.picture->setTickAnchor(0);
    axes.picture->setTickInterval(niceStep(lastIndex - firstIndex + 1, 10));
    chart->addAxis(axes.picture, Qt::AlignBottom);

    double mostKbit = 0, lowestPsnr = rows.first().psnrY, highestPsnr = lowestPsnr;
    for (const PictureRow &row : rows) {
        mostKbit = qMax(mostKbit, row.bits / 1000.0);
        lowestPsnr = qMin(lowestPsnr, row.psnrY);
        highestPsnr = qMax(highestPsnr, row.psnrY);
    }
    axes.bits = new QValueAxis;
    axes.bits->setTitleText(tr("kbit per picture"));
    axes.bits->setRange(0, qMax(mostKbit, 0.001) * 1.05);
    axes.bits->applyNiceNumbers();
    axes.bits->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(axes.bits, Qt::AlignLeft);
    axes.psnr = new QValueAxis;
    axes.psnr->setTitleText(tr("PSNR-Y (dB)"));
    axes.psnr->setRange(std::floor(lowestPsnr - 0.5), std::ceil(highestPsnr + 0.5));
    axes.psnr->applyNiceNumbers();
    axes.psnr->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(axes.psnr, Qt::AlignRight);
    return axes;
}

// Hovering over a series shows the picture under the pointer.
template <class Series>
void ReportDialog::tipOnHover(Series *series)
{
    connect(series, &Series::hovered, this, [this](const QPointF &point, bool state) {
        if (state)
            showPictureTip(point.x());
    });
}

// One filled outline per picture type: each picture a rectangle standing on the axis, so that
// thousands of pictures are three series instead of thousands of bars.
void ReportDialog::addPictureBars(QChart *chart, const ChartAxes &axes)
{
    // Bars that leave a gap while they are wide enough to show one.
    const double halfWidth = rows.size() <= 300 ? 0.4 : 0.5;
    for (const TypeStyle &style : typeStyles) {
        QList<QPointF> outline;
        for (const PictureRow &row : rows) {
            if (row.type != style.type)
                continue;
            const double kbit = row.bits / 1000.0;
            outline << QPointF(row.index - halfWidth, 0) << QPointF(row.index - halfWidth, kbit)
                    << QPointF(row.index + halfWidth, kbit) << QPointF(row.index + halfWidth, 0);
        }
        if (outline.isEmpty())
            continue;
        auto *upper = new QLineSeries;
        upper->replace(outline);
        auto *bars = new QAreaSeries(upper);
        upper->setParent(bars);
        bars->setName(tr(style.name));
        bars->setColor(style.colour);
        bars->setBorderColor(style.colour);
        chart->addSeries(bars);
        bars->attachAxis(axes.picture);
        bars->attachAxis(axes.bits);
        tipOnHover(bars);
    }
}

void ReportDialog::addPsnrLine(QChart *chart, const ChartAxes &axes)
{
    QList<QPointF> psnr;
    psnr.reserve(rows.size());
    for (const PictureRow &row : rows)
        psnr << QPointF(row.index, row.psnrY);
    auto *psnrLine = new QLineSeries;
    psnrLine->setName(tr("PSNR-Y"));
    psnrLine->replace(psnr);
    psnrLine->setPen(QPen(QColor(0x22, 0x22, 0x22), rows.size() <= 300 ? 1.5 : 1.0));
    chart->addSeries(psnrLine);
    psnrLine->attachAxis(axes.picture);
    psnrLine->attachAxis(axes.psnr);
    tipOnHover(psnrLine);
}

QChart *ReportDialog::chart() const
{
    return view ? view->chart() : nullptr;
}

void ReportDialog::showPictureTip(double x)
{
    const qint64 index = qint64(std::llround(x));
    const auto found = std::lower_bound(rows.cbegin(), rows.cend(), index,
                                        [](const PictureRow &row, qint64 wanted) { return row.index < wanted; });
    if (found == rows.cend() || found->index != index)
        return;
    QToolTip::showText(QCursor::pos(),
                       tr("Picture %1 (POC %2, %3, QP %4)\n%L5 bits\nPSNR Y %6  U %7  V %8 dB")
                           .arg(found->index).arg(found->poc).arg(QLatin1Char(found->type)).arg(found->qp)
                           .arg(found->bits).arg(QualityReport::psnrText(found->psnrY), QualityReport::psnrText(found->psnrU),
                                                 QualityReport::psnrText(found->psnrV)),
                       view);
}

void ReportDialog::pickAndSave(const QString &suffix, const QString &filter)
{
    const QFileInfo output(outputName);
    const QString proposed = output.dir().filePath(output.completeBaseName() + QLatin1Char('.') + suffix);
    QString path = QFileDialog::getSaveFileName(this, tr("Save the report"), proposed, filter);
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1Char('.') + suffix, Qt::CaseInsensitive))
        path += QLatin1Char('.') + suffix;
    QString error;
    if (!saveAs(path, &error))
        QMessageBox::warning(this, tr("Report"),
                             tr("Cannot write %1:\n%2.").arg(QDir::toNativeSeparators(path), error));
}

bool ReportDialog::saveAs(const QString &path, QString *error) const
{
    if (!path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return report.save(path, error);
    if (!view) {
        *error = tr("there is no plot to save");
        return false;
    }
    const QPixmap picture = view->grab();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
