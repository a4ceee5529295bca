#include "seamsupport.h"

#include "files/pathtext.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <limits>
#include <numeric>

using PathText::absolute;
using PathText::native;

namespace {

// The bundled encoder's program, as tools/CMakeLists.txt names it.
const char bundledProgram[] = "morlunex-hevc-encoder";

// What segments cost that are joined the closed way, said once for the job.
const char closedCost[] = "segments are joined the closed way: each seam costs about one GOP";

// Where two periods meet again, or a bound past any input's length where that lies beyond
// it: no segment but the first can then start, and the step still fits where an int is wanted.
qint64 commonPeriod(qint64 a, qint64 b)
{
    constexpr qint64 beyondAnyInput = std::numeric_limits<int>::max();
    const qint64 multiple = a / std::gcd(a, b);
    return multiple > beyondAnyInput / b ? beyondAnyInput : qMin(multiple * b, beyondAnyInput);
}

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
            step = commonPeriod(step, every);
            named = true;
        }
    }
    return named ? step : 16;
}

} // namespace

SeamSupport::SeamSupport(const QString &encoder, const EncoderConfigFile &config, const QString &configPath)
{
    const QString file = native(absolute(configPath));
    const int refresh = config.intValue(QStringLiteral("DecodingRefreshType"), 0);
    const int intra = config.intValue(QStringLiteral("IntraPeriod"), -1);
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
        period = intra;
        step = config.isOn(QStringLiteral("TemporalFilter")) ? commonPeriod(intra, filterStep(config)) : intra;
    }
}

SeamSupport SeamSupport::of(const JobSettings &settings)
{
    EncoderConfigFile config;
    config.read(settings.config);
    return SeamSupport(settings.encoder, config, settings.config);
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
