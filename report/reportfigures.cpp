#include "reportfigures.h"

#include "bdrate.h"
#include "qualityreport.h"

namespace ReportFigures {

QString problem(const QString &path, const ReportSummary &summary, double rate, bool csv)
{
    const QString unit = csv ? QStringLiteral("kbit a picture") : QStringLiteral("kbit/s");
    const QString rateField = csv ? QStringLiteral("bits (%1 %2 from its pictures)").arg(rate, 0, 'g', 6).arg(unit)
                                  : QStringLiteral("rate_kbps %1").arg(rate, 0, 'g', 6);
    if (csv && summary.pictures == 0)
        return QStringLiteral("the report %1 has no picture rows").arg(path);
    if (!csv && rate == 0)
        return QStringLiteral("the report %1 has no rate (its frame rate or output size was unknown)").arg(path);
    if (!BdRate::usableRate(rate))
        return QStringLiteral("the report %1 has %2, which is no rate: the BD figures take a finite rate above 0 "
                              "and below 10^9 %3").arg(path, rateField, unit);
    if (!summary.hasQuality)
        return QStringLiteral("the report %1 has no PSNR (its encoder printed no picture lines)").arg(path);
    // Pictures without chroma have no U and V (null): those curves are left out, not refused.
    const struct { const char *field; double psnr; bool mayLack; } planes[] = {
        {"psnr_y", summary.psnrY, false}, {"psnr_u", summary.psnrU, true}, {"psnr_v", summary.psnrV, true}};
    for (const auto &plane : planes) {
        if (plane.mayLack && !psnrKnown(plane.psnr))
            continue;
        if (!BdRate::usablePsnr(plane.psnr))
            return QStringLiteral("the report %1 has %2 %3%4, which is no PSNR: the BD figures take a finite PSNR "
                                  "from 0 to 200 dB")
                .arg(path, QLatin1String(plane.field)).arg(plane.psnr, 0, 'g', 6)
                .arg(csv ? QStringLiteral(" (the mean of its column)") : QString());
    }
    return QString();
}

} // namespace ReportFigures
