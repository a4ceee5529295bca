#include "rewriteplan.h"

#include "outputrewriter.h"

#include "bitstream/sequenceformat.h"

#include <climits>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

QString countOf(int count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

// "8 columns and 8 rows", "8 rows", or empty.
QString columnsAndRows(int columns, int rows)
{
    QStringList parts;
    if (columns > 0)
        parts << countOf(columns, "column", "columns");
    if (rows > 0)
        parts << countOf(rows, "row", "rows");
    return parts.join(QStringLiteral(" and "));
}

QString codeName(int code, const QList<QPair<int, const char *>> &names)
{
    for (const auto &name : names)
        if (name.first == code)
            return QLatin1String(name.second);
    return QStringLiteral("code %1").arg(code);
}

// The colour part of the summary: a common system by its name, other codes one by one.
QString colourSummary(const OutputFacts &facts)
{
    struct System { int primaries, transfer, matrix; const char *name; };
    static const System systems[] = {
        {1, 1, 1, "BT.709"}, {5, 6, 5, "BT.601 625-line"}, {6, 6, 6, "BT.601 525-line"},
        {9, 14, 9, "BT.2020"}, {9, 16, 9, "BT.2100 PQ"}, {9, 18, 9, "BT.2100 HLG"},
    };
    for (const System &system : systems) {
        if (facts.colourPrimaries == system.primaries
            && facts.transferCharacteristics == system.transfer
            && facts.matrixCoefficients == system.matrix)
            return QStringLiteral("%1 colour").arg(QLatin1String(system.name));
    }
    static const QList<QPair<int, const char *>> primaries = {
        {1, "BT.709"}, {5, "BT.601 625-line"}, {6, "BT.601 525-line"}, {9, "BT.2020"},
        {11, "DCI-P3"}, {12, "Display P3"}};
    static const QList<QPair<int, const char *>> transfers = {
        {1, "BT.709"}, {6, "BT.601"}, {8, "linear"}, {13, "sRGB"}, {14, "BT.2020"},
        {15, "BT.2020 12-bit"}, {16, "PQ"}, {18, "HLG"}};
    static const QList<QPair<int, const char *>> matrices = {
        {0, "RGB"}, {1, "BT.709"}, {5, "BT.601 625-line"}, {6, "BT.601 525-line"},
        {9, "BT.2020"}, {10, "BT.2020 constant luminance"}};
    QStringList parts;
    if (facts.colourPrimaries != 2)
        parts << QStringLiteral("colour primaries ") + codeName(facts.colourPrimaries, primaries);
    if (facts.transferCharacteristics != 2)
        parts << QStringLiteral("transfer ") + codeName(facts.transferCharacteristics, transfers);
    if (facts.matrixCoefficients != 2)
        parts << QStringLiteral("matrix ") + codeName(facts.matrixCoefficients, matrices);
    return parts.join(QStringLiteral(", "));
}

// The crop on one axis: what lies beyond the shown size, in whole crop steps, so that no
// picture content is ever hidden. -1 when the current window already shows that much.
int axisCrop(int coded, int before, int after, int shown, int unit, int *kept, int *shownOut)
{
    *shownOut = coded - before - after;
    *kept = 0;
    if (shown <= 0 || coded - before <= shown)
        return -1;
    const int excess = coded - before - shown;
    const int crop = excess / unit * unit;
    *kept = excess - crop;
    if (crop == after)
        return -1;
    *shownOut = coded - before - crop;
    return crop;
}

// The static HDR metadata: SEI messages for every random-access picture.
void planHdr(const OutputFacts &facts, RewritePlan *plan)
{
    if (facts.masteringDisplay)
        plan->seiMessages << SeiWriter::Message(SeiWriter::MasteringDisplayColourVolume,
                                                SeiWriter::payload(*facts.masteringDisplay));
    if (facts.contentLightLevel)
        plan->seiMessages << SeiWriter::Message(SeiWriter::ContentLightLevelInfo,
                                                SeiWriter::payload(*facts.contentLightLevel));
}

} // namespace

QString RewritePlan::checkFacts(const OutputFacts &facts)
{
    if (facts.shownWidth < 0 || facts.shownHeight < 0)
        return QStringLiteral("the size to show is negative");
    if (facts.frameRateNum < 0 || facts.frameRateDen < 0)
        return QStringLiteral("the picture rate is negative");
    if (facts.sarNum < 0 || facts.sarDen < 0)
        return QStringLiteral("the sample aspect ratio is negative");
    for (int code : {facts.colourPrimaries, facts.transferCharacteristics, facts.matrixCoefficients})
        if (code < 0 || code > 255)
            return QStringLiteral("colour code %1 is out of range").arg(code);
    return QString();
}

QStringList RewritePlan::hdrSummary(const OutputFacts &facts, const QSet<int> &added, const QSet<int> &kept)
{
    QStringList parts;
    if (added.contains(SeiWriter::MasteringDisplayColourVolume))
        parts << QStringLiteral("mastering display %1 to %2 cd/m2")
                     .arg(facts.masteringDisplay->minLuminance / 10000.0)
                     .arg(facts.masteringDisplay->maxLuminance / 10000.0);
    if (added.contains(SeiWriter::ContentLightLevelInfo))
        parts << QStringLiteral("light level %1/%2 cd/m2 (MaxCLL/MaxFALL)")
                     .arg(facts.contentLightLevel->maxContentLight)
                     .arg(facts.contentLightLevel->maxPictureAverageLight);
    if (kept.contains(SeiWriter::MasteringDisplayColourVolume))
        parts << QStringLiteral("the encoder's own mastering display kept");
    if (kept.contains(SeiWriter::ContentLightLevelInfo))
        parts << QStringLiteral("the encoder's own light level kept");
    return parts;
}

RewritePlan RewritePlan::make(const OutputFacts &facts, const SequenceFormat &format)
{
    RewritePlan plan;
    int keptColumns = 0, keptRows = 0;
    plan.cropRight = axisCrop(format.codedWidth, format.cropLeft, format.cropRight,
                              facts.shownWidth, format.cropUnitX(), &keptColumns, &plan.shownWidth);
    plan.cropBottom = axisCrop(format.codedHeight, format.cropTop, format.cropBottom,
                               facts.shownHeight, format.cropUnitY(), &keptRows, &plan.shownHeight);
    if (plan.crops() || keptColumns || keptRows) {
        QString part = QStringLiteral("Output shown at %1x%2").arg(plan.shownWidth).arg(plan.shownHeight);
        QStringList notes;
        const QString cropped = columnsAndRows(plan.cropRight > 0 ? plan.cropRight : 0,
                                               plan.cropBottom > 0 ? plan.cropBottom : 0);
        if (!cropped.isEmpty())
            notes << cropped + QStringLiteral(" of padding cropped");
        if (keptColumns || keptRows)
            notes << QStringLiteral("%1 left: %2 crops in steps of %3")
                         .arg(columnsAndRows(keptColumns, keptRows), format.chromaName())
                         .arg(keptColumns ? format.cropUnitX() : format.cropUnitY());
        plan.parts << part + QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + QLatin1Char(')');
    }

    if (facts.frameRateNum > 0 && facts.frameRateDen > 0) {
        av_reduce(&plan.rate.num, &plan.rate.den, facts.frameRateNum, facts.frameRateDen, INT_MAX);
        plan.parts << (plan.rate.den == 1 ? QStringLiteral("%1 fps").arg(plan.rate.num)
                                          : QStringLiteral("%1/%2 fps").arg(plan.rate.num).arg(plan.rate.den));
    }
    if (facts.sarNum > 0 && facts.sarDen > 0) {
        AVRational sar;
        av_reduce(&sar.num, &sar.den, facts.sarNum, facts.sarDen, 65535);
        if (sar.num != sar.den) {
            plan.sar = sar;
            plan.parts << QStringLiteral("SAR %1:%2").arg(sar.num).arg(sar.den);
        }
    }
    if (facts.fullRange) {
        plan.fullRange = true;
        plan.parts << QStringLiteral("full range");
    }
    if (facts.colourPrimaries != 2)
        plan.primaries = facts.colourPrimaries;
    if (facts.transferCharacteristics != 2)
        plan.transfer = facts.transferCharacteristics;
    if (facts.matrixCoefficients != 2)
        plan.matrix = facts.matrixCoefficients;
    if (plan.primaries >= 0 || plan.transfer >= 0 || plan.matrix >= 0)
        plan.parts << colourSummary(facts);
    planHdr(facts, &plan);
    return plan;
}

QString RewritePlan::summary() const
{
    const QString text = parts.join(QStringLiteral(", "));
    if (parts.isEmpty())
        return QStringLiteral("Output left as encoded: nothing to change");
    if (parts.first().startsWith(QLatin1String("Output ")))
        return text;
    return QStringLiteral("Output set to ") + text;
}

