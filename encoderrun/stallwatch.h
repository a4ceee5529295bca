#ifndef STALLWATCH_H
#define STALLWATCH_H

#include <QElapsedTimer>
#include <QString>

// Whether an encoder that has been handed every picture still works. Some encoders never end
// when their input ends before the pictures their configuration names: they stop writing and
// spin. Every sign of work (a new piece of output, a bitstream that grew) is noted with the time
// since the one before it; once every picture is delivered, an encoder that shows none for
// longer than its limit has stalled. The limit is a floor (stallFloorSeconds, or
// MORLUNEX_STALL_TIMEOUT seconds) or stallGapFactor times the longest wait between two signs of
// work so far, whichever is longer, so that an encoder that takes long over each picture is
// given as long at its end.
class StallWatch
{
public:
    explicit StallWatch(const QString &bitstream);

    // The encoder started.
    void start();
    // The encoder wrote to its output channel.
    void outputSeen();
    // Every picture meant for the encoder reached it (its input is closed or whole).
    void allDelivered();
    // Looks at the bitstream's size; true once the encoder has stalled.
    bool stalled();
    // How often stalled() should be asked.
    int intervalMs() const;
    // How long the encoder has shown nothing since every picture was delivered, and the limit.
    qint64 silentMs() const;
    qint64 limitMs() const;
    // What the log says of a stalled encoder.
    QString text() const;

    // The floor of the limit in milliseconds.
    static qint64 floorMs();

private:
    void activity();

    const QString path;
    QElapsedTimer clock;
    qint64 lastActivity = 0;
    qint64 longestGap = 0;
    qint64 deliveredAt = -1;
    qint64 bitstreamSize = -1;
};

#endif // STALLWATCH_H
