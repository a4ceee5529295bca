#include "seamsupport.h"

#include "files/pathtext.h"
#include "vvc/vvcencoderrules.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <numeric>

using PathText::absolute;
using PathText::native;

namespace {

// The bundled encoder's program, as tools/CMakeLists.txt names it.
const char bundledProgram[] = "morlunex-hevc-encoder";

// What segments cost that are joined the closed way, said once for the job.
const char closedCost[] = "segments are joined the closed way: each seam costs about one GOP";

// The periods of the temporal filter's strength keys (TemporalFilterStrengthFrame8 : 0.95
// filters every 8th picture); the stock 8 and 16 where the configuration names none.
qint64 filterStep(const EncoderConfigFile &config)
{
    static const QRegularExpression strength(QStringLiteral("^TemporalFilterStrengthFrame([0-9]{1,4})$"));
    qint64 step = 1;
    bool named = false;
    for (const QString &key : config.keys()) {
        const QRegularExpressionMatch match = strength.match(key);
        const int every = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (every > 0) {
            step = std::lcm(step, qint64(every));
            named = true;
        }
    }
    return named ? step : 16;
}

// "8", "8 and 24", "8, 24 and 40".
QString listed(const QStringList &items)
{
    return items.size() < 2 ? items.join(QString())
                            : items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ")
                                  + items.last();
}

} // namespace

SeamSupport::SeamSupport(const QString &encoder, const EncoderConfigFile &config, const QString &configPath)
    : file(native(absolute(configPath)))
{
    const int refresh = config.intValue(QStringLiteral("DecodingRefreshType"), 0);
    // Below -1 (the VVC encoder's stock random-access file: -32), the intra period is the
    // multiple of its size nearest to the configuration's frame rate, as the encoder resolves it.
    bool rateRead = false;
    const double rate = config.value(QStringLiteral("FrameRate")).toDouble(&rateRead);
    const int intra = VvcEncoderRules::intraPeriod(config.intValue(QStringLiteral("IntraPeriod"), -1),
                                                   rateRead ? rate : 0);
    // The encoder codes every subsample-th picture handed to it (TemporalSubsampleRatio), its
    // intra period counting coded pictures: segments start at multiples of the period in input
    // pictures, and the overlap picture, the next segment's first, is one it codes.
    subsample = qMax(1, config.intValue(QStringLiteral("TemporalSubsampleRatio"), 1));
    if (isBundled(encoder)) {
        closed = QStringLiteral("The bundled encoder %1 joins its segments the closed way: each seam costs about "
                                "one GOP.").arg(native(absolute(encoder)));
    } else if (refresh != 1 && refresh != 2) {
        closed = QStringLiteral("The configuration %1 has DecodingRefreshType %2 (neither 1, CRA, nor 2, IDR), so "
                                "no intra period opens with a picture a segment can start from: %3.")
                     .arg(file).arg(refresh).arg(QLatin1String(closedCost));
    } else if (intra <= 0) {
        closed = QStringLiteral("The configuration %1 has no IntraPeriod above 0, so no picture after the first "
                                "is one a segment can start from: %2.").arg(file, QLatin1String(closedCost));
    } else {
        period = intra * subsample;
        const qint64 filter = config.isOn(QStringLiteral("TemporalFilter")) ? filterStep(config) : 1;
        step = std::lcm(qint64(period), filter);
        if (step > period)
            filterEvery = int(filter);
    }
}

SeamSupport SeamSupport::of(const JobSettings &settings)
{
    EncoderConfigFile config;
    config.read(settings.config);
    return SeamSupport(settings.encoder, config, settings.config);
}

QString SeamSupport::closedSeamsLine(const QList<qint64> &starts) const
{
    if (!exact() || starts.size() < 2)
        return QString();
    // A seam is exact where the segments on both sides start at a multiple of the step (the
    // first at 0); the starts that are not, by why they are not.
    QStringList insidePeriod, offFilter;
    int closedSeams = 0;
    for (qsizetype i = 0; i + 1 < starts.size(); ++i)
        if (starts.at(i) % step != 0 || starts.at(i + 1) % step != 0)
            ++closedSeams;
    for (qint64 start : starts) {
        if (start % period != 0)
            insidePeriod << QString::number(start);
        else if (start % step != 0)
            offFilter << QString::number(start);
    }
    if (closedSeams == 0)
        return QString();
    QStringList why;
    if (!insidePeriod.isEmpty())
        why << QStringLiteral("the segments that start %1 pictures into the job start inside an intra period "
                              "(IntraPeriod %2 in %3)")
                   .arg(listed(insidePeriod)).arg(period).arg(file);
    if (!offFilter.isEmpty())
        why << QStringLiteral("the segments that start %1 pictures into the job start an intra period but not a "
                              "period of the temporal filter's strength keys, which count every %2 pictures from "
                              "the first")
                   .arg(listed(offFilter)).arg(filterEvery);
    const qsizetype seams = starts.size() - 1;
    const QString which = closedSeams < seams ? QStringLiteral("%1 of the %2 seams are").arg(closedSeams).arg(seams)
                          : seams == 1        ? QStringLiteral("The seam is")
                                              : QStringLiteral("All %1 seams are").arg(seams);
    return QStringLiteral("%1 joined the closed way, each costing about one GOP of rate more than one piece, because "
                          "%2; segments whose lengths are multiples of %3 pictures would join seamlessly.")
        .arg(which, why.join(QStringLiteral(", and "))).arg(step);
}

bool SeamSupport::cutsAt(qint64 offset) const
{
    return exact() && offset > 0 && offset % step == 0;
}

bool SeamSupport::isBundled(const QString &encoder)
{
    const QString program = QFileInfo(absolute(encoder)).canonicalFilePath();
    return !program.isEmpty() && QFileInfo(program).fileName() == QLatin1String(bundledProgram);
}

qint64 SeamSupport::codedPictures(qint64 handed) const
{
    return VvcEncoderRules::codedPictures(handed, subsample);
}
