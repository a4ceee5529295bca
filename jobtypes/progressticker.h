#ifndef PROGRESSTICKER_H
#define PROGRESSTICKER_H

#include "jobtypes.h"

#include <QElapsedTimer>

// The job's clock, from its start: when progress is due (at most every 200 ms unless forced),
// and the figures that follow from the time (rate, time left, time elapsed).
class ProgressTicker
{
public:
    explicit ProgressTicker(const QElapsedTimer &jobClock) : clock(jobClock) {}

    bool due(bool force)
    {
        const qint64 now = clock.elapsed();
        if (!force && last >= 0 && now - last < intervalMs)
            return false;
        last = now;
        return true;
    }
    // Fills in the times of a progress whose pictures and total are set; encodedHere are the
    // pictures this process handed over itself.
    void complete(JobProgress *progress, qint64 encodedHere) const
    {
        progress->elapsedSeconds = clock.elapsed() / 1000.0;
        if (progress->elapsedSeconds > 0)
            progress->picturesPerSecond = encodedHere / progress->elapsedSeconds;
        if (progress->total > 0 && progress->picturesPerSecond > 0)
            progress->secondsLeft = qMax<qint64>(0, progress->total - progress->pictures) / progress->picturesPerSecond;
    }
    double seconds() const { return clock.elapsed() / 1000.0; }

private:
    static constexpr qint64 intervalMs = 200;
    QElapsedTimer clock;
    qint64 last = -1;
};

#endif // PROGRESSTICKER_H
