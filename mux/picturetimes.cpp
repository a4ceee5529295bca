#include "picturetimes.h"

#include <QJsonArray>

extern "C" {
#include <libavutil/mathematics.h>
}

qint64 PictureTimes::end() const
{
    if (times.isEmpty())
        return 0;
    if (lastDuration > 0)
        return times.last() + lastDuration;
    if (times.size() > 1 && times.last() > times.at(times.size() - 2))
        return 2 * times.last() - times.at(times.size() - 2);
    return times.last() + 1;
}

void PictureTimes::append(const PictureTimes &later)
{
    if (later.times.isEmpty())
        return;
    if (times.isEmpty()) {
        *this = later;
        return;
    }
    const AVRational from{later.timeBaseNum, later.timeBaseDen}, to{timeBaseNum, timeBaseDen};
    const bool same = av_cmp_q(from, to) == 0;
    times.reserve(times.size() + later.times.size());
    for (qint64 time : later.times)
        times.append(same ? time : av_rescale_q(time, from, to));
    lastDuration = same ? later.lastDuration : av_rescale_q(later.lastDuration, from, to);
}

QJsonObject PictureTimes::toJson() const
{
    QJsonArray list;
    for (qint64 time : times)
        list.append(double(time));
    return QJsonObject{{QStringLiteral("time_base"), QStringLiteral("%1/%2").arg(timeBaseNum).arg(timeBaseDen)},
                       {QStringLiteral("times"), list},
                       {QStringLiteral("last_duration"), double(lastDuration)}};
}

bool PictureTimes::fromJson(const QJsonObject &record, PictureTimes *result)
{
    const QStringList base = record.value(QStringLiteral("time_base")).toString().split(QLatin1Char('/'));
    const QJsonValue list = record.value(QStringLiteral("times"));
    if (base.size() != 2 || !list.isArray())
        return false;
    PictureTimes parsed;
    bool numOk = false, denOk = false;
    parsed.timeBaseNum = base.at(0).toInt(&numOk);
    parsed.timeBaseDen = base.at(1).toInt(&denOk);
    if (!numOk || !denOk || parsed.timeBaseNum <= 0 || parsed.timeBaseDen <= 0)
        return false;
    const QJsonArray array = list.toArray();
    parsed.times.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (!value.isDouble())
            return false;
        parsed.times.append(qint64(value.toDouble()));
    }
    parsed.lastDuration = qint64(record.value(QStringLiteral("last_duration")).toDouble());
    *result = parsed;
    return true;
}
