#include "bdratecommand.h"

#include "encoding/filecheck.h"

#include "report/bdrate.h"
#include "report/qualityreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

#include <sysexits.h>

namespace {

// The figures of one report that a curve needs.
struct ReportPoint
{
    QString path;
    ReportSummary summary;
};

int failWith(int status, const QString &text)
{
    std::fprintf(stderr, "morlunex-cli: %s\n", text.toLocal8Bit().constData());
    return status;
}

int readPoints(const QStringList &paths, QList<ReportPoint> *points)
{
    for (const QString &path : paths) {
        const QString reason = FileCheck::readProblem(path);
        QFile file(path);
        if (!reason.isEmpty() || !file.open(QIODevice::ReadOnly))
            return failWith(EX_NOINPUT, QStringLiteral("cannot read the report %1: %2")
                                            .arg(path, reason.isEmpty() ? file.errorString() : reason));
        QualityReport report;
        QString error;
        if (!QualityReport::fromJson(file.readAll(), &report, &error))
            return failWith(EX_DATAERR, QStringLiteral("%1 is no quality report: %2").arg(path, error));
        const ReportSummary &summary = report.summary();
        if (!(summary.kbitPerSecond > 0))
            return failWith(EX_DATAERR, QStringLiteral("the report %1 has no rate (its frame rate or "
                                                       "output size was unknown)").arg(path));
        if (!summary.hasQuality)
            return failWith(EX_DATAERR, QStringLiteral("the report %1 has no PSNR (its encoder printed "
                                                       "no picture lines)").arg(path));
        points->append({path, summary});
    }
    return EX_OK;
}

QList<RatePoint> curve(const QList<ReportPoint> &points, double ReportSummary::*psnr)
{
    QList<RatePoint> rates;
    for (const ReportPoint &point : points)
        rates.append({point.summary.kbitPerSecond, point.summary.*psnr});
    return rates;
}

QJsonArray pointsJson(const QList<ReportPoint> &points)
{
    QJsonArray array;
    for (const ReportPoint &point : points)
        array.append(QJsonObject{{QStringLiteral("report"), point.path},
                                 {QStringLiteral("rate_kbps"), point.summary.kbitPerSecond},
                                 {QStringLiteral("psnr_y"), point.summary.psnrY},
                                 {QStringLiteral("psnr_u"), point.summary.psnrU},
                                 {QStringLiteral("psnr_v"), point.summary.psnrV}});
    return array;
}

double rounded(double value)
{
    return std::round(value * 1e4) / 1e4;
}

} // namespace

int BdRateCommand::run(const QStringList &anchors, const QStringList &tests, bool json)
{
    QList<ReportPoint> anchorPoints, testPoints;
    int status = readPoints(anchors, &anchorPoints);
    if (status == EX_OK)
        status = readPoints(tests, &testPoints);
    if (status != EX_OK)
        return status;

    const struct { const char *plane; double ReportSummary::*psnr; } planes[] = {
        {"Y", &ReportSummary::psnrY}, {"U", &ReportSummary::psnrU}, {"V", &ReportSummary::psnrV}};
    double rates[3] = {};
    QString error;
    for (int i = 0; i < 3; ++i) {
        if (!BdRate::rateDifference(curve(anchorPoints, planes[i].psnr), curve(testPoints, planes[i].psnr),
                                    &rates[i], &error))
            return failWith(EX_USAGE, QStringLiteral("no BD-rate for %1: %2").arg(QLatin1String(planes[i].plane), error));
    }
    double psnrY = 0;
    if (!BdRate::psnrDifference(curve(anchorPoints, &ReportSummary::psnrY), curve(testPoints, &ReportSummary::psnrY),
                                &psnrY, &error))
        return failWith(EX_USAGE, QStringLiteral("no BD-PSNR for Y: %1").arg(error));

    QByteArray text;
    if (json) {
        const QJsonObject result{{QStringLiteral("bd_rate_y"), rounded(rates[0])},
                                 {QStringLiteral("bd_rate_u"), rounded(rates[1])},
                                 {QStringLiteral("bd_rate_v"), rounded(rates[2])},
                                 {QStringLiteral("bd_psnr_y"), rounded(psnrY)},
                                 {QStringLiteral("anchor"), pointsJson(anchorPoints)},
                                 {QStringLiteral("test"), pointsJson(testPoints)}};
        text = QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n';
    } else {
        text = QStringLiteral("BD-rate Y %1 %, U %2 %, V %3 %; BD-PSNR Y %4 dB\n")
                   .arg(rates[0], 0, 'f', 2).arg(rates[1], 0, 'f', 2).arg(rates[2], 0, 'f', 2)
                   .arg(psnrY, 0, 'f', 3).toUtf8();
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return EX_OK;
}
