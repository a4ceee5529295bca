#include "filtercontext.h"

#include "seamsupport.h"

#include "jobtypes/encoderconfigfile.h"

namespace {

// What the reference encoder's stock files set, and what it reads where they say nothing.
constexpr int defaultReach = 4;

} // namespace

FilterContext FilterContext::of(const JobSettings &settings, bool overlap)
{
    FilterContext context;
    if (settings.contextFirst < 0)
        return context;
    EncoderConfigFile config;
    config.read(settings.config);
    if (!config.isOn(QStringLiteral("TemporalFilter")) || SeamSupport::isBundled(settings.encoder))
        return context;
    context.on = true;
    context.past = qMax(0, config.intValue(QStringLiteral("TemporalFilterPastRefs"), defaultReach));
    context.future = qMax(0, config.intValue(QStringLiteral("TemporalFilterFutureRefs"), defaultReach));
    context.lead = qBound<qint64>(0, settings.startPicture - settings.contextFirst, qint64(context.past));
    // A stretch that runs to the input's end has nothing after it.
    if (settings.pictureLimit >= 0) {
        const qint64 end = settings.startPicture + settings.pictureLimit + (overlap ? 1 : 0);
        context.trail = settings.contextEnd < 0 ? context.future
                                                : qBound<qint64>(0, settings.contextEnd - end, qint64(context.future));
    }
    return context;
}

QByteArray FilterContext::configLines(qint64 handed, qint64 coded) const
{
    return QStringLiteral("\n# The pictures of the input file this run codes, added by the transcoder\n"
                          "FrameSkip : %1\nFramesToBeEncoded : %2\nFirstValidFrame : 0\nLastValidFrame : %3\n")
        .arg(lead).arg(coded).arg(handed - 1).toLatin1();
}

QString FilterContext::line() const
{
    return QStringLiteral("The configuration's temporal filter looks at up to %1 pictures before and %2 after each "
                          "picture it filters: each encoder of a stretch is handed those around its own pictures "
                          "as well, as far as the whole encode reaches, and a copy of the configuration tells it "
                          "which pictures to code (FrameSkip, FramesToBeEncoded, FirstValidFrame, LastValidFrame).")
        .arg(past).arg(future);
}
