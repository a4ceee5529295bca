#include "joboutput.h"

#include "encoderconfigfile.h"
#include "pathtext.h"

#include "mux/containerformat.h"

namespace JobOutput {

bool isContainer(const JobSettings &settings)
{
    return ContainerFormat::forPath(settings.output).isContainer();
}

MuxRequest container(const JobSettings &settings, const PictureTimes &times, bool reachedEnd)
{
    MuxRequest request;
    request.output = PathText::absolute(settings.output);
    if (settings.rawWidth != 0 && settings.rawHeight != 0) {
        EncoderConfigFile config;
        config.read(settings.config);
        request.pictures.timeBaseNum = 1;
        request.pictures.timeBaseDen =
            settings.rawFps > 0 ? settings.rawFps : qMax(1, config.intValue(QStringLiteral("FrameRate"), 25));
        return request;
    }
    request.input = PathText::absolute(settings.input);
    request.pictures = times;
    if (!times.isEmpty()) {
        request.spanStart = times.times.first();
        request.spanEnd = times.end();
    }
    request.cutStart = settings.startPicture > 0;
    request.cutEnd = !reachedEnd;
    return request;
}

double frameRate(const JobSettings &settings, const OutputFacts &shown)
{
    if (shown.frameRateNum > 0 && shown.frameRateDen > 0)
        return double(shown.frameRateNum) / shown.frameRateDen;
    if (settings.rawFps > 0)
        return settings.rawFps;
    EncoderConfigFile config;
    return config.read(settings.config) ? config.value(QStringLiteral("FrameRate")).toDouble() : 0;
}

} // namespace JobOutput
