#ifndef REPORTDIALOG_H
#define REPORTDIALOG_H

#include "report/qualityreport.h"

#include <QDialog>
#include <QList>
#include <QString>

class QChart;
class QValueAxis;
class QChartView;
class QLabel;

// The quality report of one encode: its summary above a plot of the bits of every picture
// (bars coloured by picture type) and its PSNR-Y (a line on a second axis) over the picture
// index in display order; the report saves as CSV or JSON and the plot as PNG.
class ReportDialog : public QDialog
{
    Q_OBJECT

public:
    // outputName names the encode in the title and the files offered for saving.
    ReportDialog(const QualityReport &report, const QString &outputName, QWidget *parent = nullptr);

    // Writes the report (.csv, .json) or the plot (.png), by the name's suffix, replacing the
    // file only when complete; false with the reason in *error.
    bool saveAs(const QString &path, QString *error) const;

    QChart *chart() const;
    static QString summaryText(const ReportSummary &summary);

private:
    struct ChartAxes {
        QValueAxis *picture = nullptr;
        QValueAxis *bits = nullptr;
        QValueAxis *psnr = nullptr;
    };

    QChartView *makeChart();
    ChartAxes addAxes(QChart *chart) const;
    void addPictureBars(QChart *chart, const ChartAxes &axes);
    void addPsnrLine(QChart *chart, const ChartAxes &axes);
    template <class Series>
    void tipOnHover(Series *series);
    void pickAndSave(const QString &suffix, const QString &filter);
    void showPictureTip(double x);

    QualityReport report;
    QList<PictureRow> rows;
    QString outputName;
    QChartView *view = nullptr;
};

#endif // REPORTDIALOG_H
