#include "bdratecommand.h"

#include "files/filecheck.h"
#include "report/bdrate.h"
#include "report/qualityreport.h"
#include "report/reportfigures.h"
#include "report/yuvweights.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include <sysexits.h>

namespace {

// The figures of one report that a curve needs.
struct ReportPoint
{
    QString path;
    bool csv = false;        // a CSV report: its rate is kbit a picture (it holds no frame rate)
    double rate = 0;         // kbit/s, or kbit a picture for a CSV report
    ReportSummary summary;
};

// Y, U, V, then the planes' PSNRs weighted into one.
struct Plane
{
    const char *name;
    const char *field;
    double ReportSummary::*psnr;    // none for YUV
};

const Plane planes[] = {{"Y", "psnr_y", &ReportSummary::psnrY},
                        {"U", "psnr_u", &ReportSummary::psnrU},
                        {"V", "psnr_v", &ReportSummary::psnrV},
                        {"YUV", "psnr_yuv", nullptr}};
constexpr int planeCount = int(std::size(planes));

int failWith(int status, const QString &text)
{
    std::fprintf(stderr, "morlunex-cli: %s\n", text.toLocal8Bit().constData());
    return status;
}

QString unit(const ReportPoint &point)
{
    return point.csv ? QStringLiteral("kbit a picture") : QStringLiteral("kbit/s");
}

QString rateText(const ReportPoint &point)
{
    return QStringLiteral("%1 %2").arg(point.rate, 0, 'g', 6).arg(unit(point));
}

int readPoint(const QString &path, ReportPoint *point)
{
    const QString reason = FileCheck::readProblem(path);
    QFile file(path);
    if (!reason.isEmpty() || !file.open(QIODevice::ReadOnly))
        return failWith(EX_NOINPUT, QStringLiteral("cannot read the report %1: %2")
                                        .arg(path, reason.isEmpty() ? file.errorString() : reason));
    const QByteArray text = file.readAll();
    QualityReport report;
    QString error;
    point->path = path;
    point->csv = path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive) || QualityReport::isCsv(text);
    if (!(point->csv ? QualityReport::fromCsv(text, &report, &error) : QualityReport::fromJson(text, &report, &error)))
        return failWith(EX_DATAERR, QStringLiteral("%1 is no quality report: %2").arg(path, error));
    point->summary = report.summary();
    point->rate = point->csv ? report.kbitPerPicture() : point->summary.kbitPerSecond;
    const QString problem = ReportFigures::problem(point->path, point->summary, point->rate, point->csv);
    return problem.isEmpty() ? EX_OK : failWith(EX_DATAERR, problem);
}

int readPoints(const QStringList &paths, QList<ReportPoint> *points)
{
    for (const QString &path : paths) {
        ReportPoint point;
        const int status = readPoint(path, &point);
        if (status != EX_OK)
            return status;
        points->append(point);
    }
    return EX_OK;
}

double psnrOf(const ReportSummary &summary, const Plane &plane, const YuvWeights &weights)
{
    return plane.psnr ? summary.*plane.psnr : weights.psnr(summary.psnrY, summary.psnrU, summary.psnrV);
}

QList<RatePoint> curve(const QList<ReportPoint> &points, const Plane &plane, const YuvWeights &weights)
{
    QList<RatePoint> rates;
    for (const ReportPoint &point : points)
        rates.append({point.rate, psnrOf(point.summary, plane, weights)});
    return rates;
}

// Rates of one kind only: a CSV report's rate is per picture, a JSON report's per second.
int checkKinds(const QList<ReportPoint> &points)
{
    for (const ReportPoint &point : points) {
        if (point.csv != points.first().csv) {
            const ReportPoint &csv = point.csv ? point : points.first(), &json = point.csv ? points.first() : point;
            return failWith(EX_USAGE, QStringLiteral("--bd-rate takes reports of one kind: %1 is a CSV report, %2 a "
                                                     "JSON report (a CSV report holds no frame rate, so its rate is "
                                                     "per picture)").arg(csv.path, json.path));
        }
    }
    return EX_OK;
}

// The planes both sides are compared by: U and V only where every report has them.
std::array<bool, planeCount> comparedPlanes(const QList<ReportPoint> &points, const YuvWeights &weights)
{
    QList<bool> chroma;
    for (const ReportPoint &point : points)
        chroma << (psnrKnown(point.summary.psnrU) && psnrKnown(point.summary.psnrV));
    return BdRate::comparedPlanes(chroma, weights);
}

// Every curve's PSNR must rise with its rate, plane by plane, or the BD figures are undefined.
int checkRising(const QList<ReportPoint> &points, const char *side, const YuvWeights &weights,
                const std::array<bool, planeCount> &compared)
{
    for (int i = 0; i < planeCount; ++i) {
        if (!compared[i])
            continue;
        const Plane &plane = planes[i];
        const BdRate::PointPair pair = BdRate::notRising(curve(points, plane, weights));
        if (!pair.found())
            continue;
        const ReportPoint &lower = points.at(pair.lower), &higher = points.at(pair.higher);
        const auto described = [&plane, &weights](const ReportPoint &point) {
            return QStringLiteral("%1 (%2, %3 dB)").arg(point.path, rateText(point))
                .arg(psnrOf(point.summary, plane, weights), 0, 'f', 2);
        };
        return failWith(EX_DATAERR, QStringLiteral("no BD figures: the %1 curve's PSNR-%2 does not rise with its rate "
                                                   "between %3 and %4; the BD figures are defined only for curves "
                                                   "whose PSNR rises with the rate")
                                        .arg(QLatin1String(side), QLatin1String(plane.name), described(lower),
                                             described(higher)));
    }
    return EX_OK;
}

QJsonArray pointsJson(const QList<ReportPoint> &points, const YuvWeights &weights)
{
    QJsonArray array;
    for (const ReportPoint &point : points)
        array.append(QJsonObject{{QStringLiteral("report"), point.path},
                                 {point.csv ? QStringLiteral("kbit_per_picture") : QStringLiteral("rate_kbps"), point.rate},
                                 {QStringLiteral("psnr_y"), point.summary.psnrY},
                                 {QStringLiteral("psnr_u"), point.summary.psnrU},
                                 {QStringLiteral("psnr_v"), point.summary.psnrV},
                                 {QStringLiteral("psnr_yuv"), psnrOf(point.summary, planes[3], weights)}});
    return array;
}

double rounded(double value)
{
    return std::round(value * 1e4) / 1e4;
}

} // namespace

int BdRateCommand::run(const QStringList &anchors, const QStringList &tests, const YuvWeights &weights, bool json)
{
    QList<ReportPoint> anchorPoints, testPoints;
    int status = readPoints(anchors, &anchorPoints);
    if (status == EX_OK)
        status = readPoints(tests, &testPoints);
    if (status == EX_OK)
        status = checkKinds(anchorPoints + testPoints);
    const std::array<bool, planeCount> compared = comparedPlanes(anchorPoints + testPoints, weights);
    if (status == EX_OK)
        status = checkRising(anchorPoints, "anchor", weights, compared);
    if (status == EX_OK)
        status = checkRising(testPoints, "test", weights, compared);
    if (status != EX_OK)
        return status;

    // A plane some report lacks has no BD-rate: NaN, shown as n/a (null in JSON).
    double rates[planeCount] = {};
    QString error;
    for (int i = 0; i < planeCount; ++i) {
        rates[i] = std::numeric_limits<double>::quiet_NaN();
        if (compared[i]
            && !BdRate::rateDifference(curve(anchorPoints, planes[i], weights), curve(testPoints, planes[i], weights),
                                       &rates[i], &error))
            return failWith(EX_USAGE, QStringLiteral("no BD-rate for %1: %2").arg(QLatin1String(planes[i].name), error));
    }
    double psnrY = 0;
    if (!BdRate::psnrDifference(curve(anchorPoints, planes[0], weights), curve(testPoints, planes[0], weights), &psnrY,
                                &error))
        return failWith(EX_USAGE, QStringLiteral("no BD-PSNR for Y: %1%2").arg(error, anchorPoints.first().csv
                                      ? QStringLiteral(" (the rates of CSV reports are in kbit a picture)") : QString()));

    const auto percent = [](double rate) {
        return std::isnan(rate) ? QStringLiteral("n/a") : QStringLiteral("%1 %").arg(rate, 0, 'f', 2);
    };
    QByteArray text;
    if (json) {
        const QJsonObject result{{QStringLiteral("bd_rate_y"), rounded(rates[0])},
                                 {QStringLiteral("bd_rate_u"), rounded(rates[1])},
                                 {QStringLiteral("bd_rate_v"), rounded(rates[2])},
                                 {QStringLiteral("bd_rate_yuv"), rounded(rates[3])},
                                 {QStringLiteral("yuv_weights"), QJsonArray{weights.y, weights.u, weights.v}},
                                 {QStringLiteral("bd_psnr_y"), rounded(psnrY)},
                                 {QStringLiteral("anchor"), pointsJson(anchorPoints, weights)},
                                 {QStringLiteral("test"), pointsJson(testPoints, weights)}};
        text = QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n';
    } else {
        // The YUV figure comes last, so that the line begins as it always has.
        text = QStringLiteral("BD-rate Y %1, U %2, V %3; BD-PSNR Y %4 dB; BD-rate YUV (%5) %6\n")
                   .arg(percent(rates[0]), percent(rates[1]), percent(rates[2]))
                   .arg(psnrY, 0, 'f', 3).arg(weights.text(), percent(rates[3])).toUtf8();
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return EX_OK;
}
