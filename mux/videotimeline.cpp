#include "videotimeline.h"

#include "picturetimes.h"

#include "bitstream/outputorder.h"

#include <QRegularExpression>

#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

namespace {

// Whether pictures at these times (in units of base) are shown at this rate: each within the
// rounding of timestamps (one unit of the time base, or a millisecond, the precision of many
// containers, but under a quarter of a picture) of where the rate puts it after the first.
bool showsAt(const QVector<qint64> &times, AVRational base, AVRational rate)
{
    if (rate.num <= 0 || rate.den <= 0 || times.size() < 2)
        return false;
    const double interval = av_q2d(av_div_q(av_inv_q(rate), base));
    const int64_t tolerance = qMin<int64_t>(qMax<int64_t>(1, av_rescale_q(1, AVRational{1, 1000}, base)),
                                            int64_t(interval / 4));
    const int64_t scaled = int64_t(rate.den) * base.den, per = int64_t(rate.num) * base.num;
    for (int k = 1; k < times.size(); ++k) {
        const int64_t expected = av_rescale_rnd(k, scaled, per, AV_ROUND_NEAR_INF);
        if (std::llabs(times.at(k) - times.first() - expected) > tolerance)
            return false;
    }
    return true;
}

} // namespace

QString VideoTimeline::plan(const OutputOrder &order, const PictureTimes &pictures, qint64 spanEnd, QStringList *notes)
{
    const int count = order.shown();
    if (pictures.timeBaseNum <= 0 || pictures.timeBaseDen <= 0)
        return QStringLiteral("the pictures' time base is not set");
    timeBase = AVRational{pictures.timeBaseNum, pictures.timeBaseDen};
    if (pictures.isEmpty()) {
        for (int k = 0; k < count; ++k)
            shown.append(k);
        videoEnd = count;
    } else {
        if (count > pictures.times.size())
            return QStringLiteral("the bitstream holds %1 pictures, but only %2 were given to the encoder")
                .arg(count).arg(pictures.times.size());
        shown = pictures.times.mid(0, count);
        fewer = count < pictures.times.size();
        videoEnd = fewer ? pictures.times.at(count) : qMax(spanEnd, pictures.end());
        if (fewer)
            *notes << QStringLiteral("The encoder coded %1 of the %2 pictures it was given: the "
                                     "output ends with the last of them.")
                          .arg(count).arg(pictures.times.size());
    }
    // A picture without a timestamp, or one not after the picture before it, follows that
    // picture by the interval before; the first counts from zero then.
    if (shown.first() == AV_NOPTS_VALUE)
        shown[0] = 0;
    for (int k = 1; k < shown.size(); ++k) {
        if (shown.at(k) == AV_NOPTS_VALUE || shown.at(k) <= shown.at(k - 1)) {
            const qint64 step = k >= 2 ? shown.at(k - 1) - shown.at(k - 2) : 1;
            shown[k] = shown.at(k - 1) + qMax<qint64>(1, step);
        }
    }
    videoEnd = qMax(videoEnd, shown.last() + 1);

    // Decoding order must never put a picture's decoding time after its showing time: the
    // decoding times are the showing times, delayed by as many pictures as the stream reorders.
    int index = 0;
    for (int u = 0; u < order.units(); ++u)
        if (order.kind(u) == OutputOrder::Shown)
            reorderDelay = qMax(reorderDelay, index++ - order.outputPlace(u));

    if (shown.size() > 2) {
        const double mean = double(shown.last() - shown.first()) / (shown.size() - 1);
        for (int k = 1; k < shown.size() && !variableRate; ++k)
            variableRate = std::abs(double(shown.at(k) - shown.at(k - 1)) - mean) > 1.0 + mean / 1000;
    }
    return QString();
}

void VideoTimeline::chooseRate(QList<AVRational> stated)
{
    stated << av_inv_q(timeBase);
    steadyRate = AVRational{0, 1};
    for (const AVRational candidate : stated) {
        if (showsAt(shown, timeBase, candidate)) {
            av_reduce(&steadyRate.num, &steadyRate.den, candidate.num, candidate.den, INT_MAX);
            variableRate = false;
            break;
        }
    }
    // Otherwise the mean rate, as near as a fraction of moderate terms has it.
    if (steadyRate.num == 0 && !variableRate && shown.size() > 1)
        steadyRate = av_d2q(double(shown.size() - 1) / (double(shown.last() - shown.first()) * av_q2d(timeBase)), 1 << 20);
}

void VideoTimeline::stamp(AVPacket *packet, int place, int decoded, qint64 origin) const
{
    const qint64 firstStep = shown.size() > 1 ? shown.at(1) - shown.at(0) : 1;
    const qint64 decodeTime = decoded >= reorderDelay ? shown.at(decoded - reorderDelay)
                                                      : shown.first() - (reorderDelay - decoded) * firstStep;
    packet->pts = shown.at(place) - origin;
    packet->dts = decodeTime - origin;
    packet->duration = (place + 1 < shown.size() ? shown.at(place + 1) : videoEnd) - shown.at(place);
}

QString VideoTimeline::rateText() const
{
    if (shown.size() <= 1)
        return QString();
    const double shownRate = steadyRate.num > 0 ? av_q2d(steadyRate)
                                                : (shown.size() - 1) / (double(shown.last() - shown.first()) * av_q2d(timeBase));
    QString text = QStringLiteral("%1 fps").arg(QString::number(shownRate, 'f', 2).remove(QRegularExpression(QStringLiteral("\\.?0+$"))));
    if (variableRate)
        text += QStringLiteral(" (variable)");
    return text;
}
