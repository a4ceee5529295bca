#include "stallwatch.h"

#include "files/pathtext.h"

#include <QFileInfo>

namespace {

// An encoder that shows nothing for this long after it had every picture has stalled, unless
// it has shown itself slower than that before.
constexpr qint64 stallFloorSeconds = 120;
// How many times its longest wait between two signs of work so far an encoder is given.
constexpr qint64 stallGapFactor = 10;

} // namespace

StallWatch::StallWatch(const QString &bitstream)
    : path(bitstream)
{
}

qint64 StallWatch::floorMs()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("MORLUNEX_STALL_TIMEOUT", &ok);
    return (ok && seconds > 0 ? seconds : stallFloorSeconds) * 1000;
}

void StallWatch::start()
{
    clock.start();
    lastActivity = 0;
    longestGap = 0;
    deliveredAt = -1;
    bitstreamSize = -1;
}

void StallWatch::activity()
{
    const qint64 now = clock.elapsed();
    longestGap = qMax(longestGap, now - lastActivity);
    lastActivity = now;
}

void StallWatch::outputSeen()
{
    if (clock.isValid())
        activity();
}

void StallWatch::allDelivered()
{
    if (clock.isValid() && deliveredAt < 0)
        deliveredAt = clock.elapsed();
}

bool StallWatch::stalled()
{
    if (!clock.isValid())
        return false;
    const QFileInfo file(path);
    const qint64 size = file.exists() ? file.size() : -1;
    if (size != bitstreamSize) {
        bitstreamSize = size;
        activity();
    }
    return deliveredAt >= 0 && silentMs() > limitMs();
}

int StallWatch::intervalMs() const
{
    return int(qBound(qint64(100), floorMs() / 8, qint64(5000)));
}

qint64 StallWatch::silentMs() const
{
    return deliveredAt < 0 ? 0 : clock.elapsed() - qMax(lastActivity, deliveredAt);
}

qint64 StallWatch::limitMs() const
{
    return qMax(floorMs(), stallGapFactor * longestGap);
}

QString StallWatch::text() const
{
    return QStringLiteral("The encoder had every picture, then wrote nothing for %1 s (no output, and not a byte more "
                          "of its bitstream %2, which holds %3 bytes), more than %4 times its longest pause before "
                          "and at least %5 s: it would not end by itself, and is ended. An encoder whose "
                          "configuration names more pictures (FramesToBeEncoded) than its input holds may wait "
                          "like this.")
        .arg(silentMs() / 1000)
        .arg(PathText::native(path))
        .arg(qMax<qint64>(0, bitstreamSize))
        .arg(stallGapFactor)
        .arg(floorMs() / 1000);
}
