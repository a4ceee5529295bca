#ifndef PICTURETIMES_H
#define PICTURETIMES_H

// When the pictures handed to the encoder are shown, in display order, as the input gave their
// timestamps: what a decode records for the container, kept on disk in a small JSON record by a
// finished segment, and joined in order for the whole job.

#include <QJsonObject>
#include <QVector>
#include <QtGlobal>

struct PictureTimes
{
    QVector<qint64> times;              // in units of timeBaseNum / timeBaseDen seconds
    int timeBaseNum = 0, timeBaseDen = 0;
    qint64 lastDuration = 0;            // how long the last picture is shown; 0 when unknown

    bool isEmpty() const { return times.isEmpty(); }
    // The end of the last picture: its time plus its duration, else plus the interval before it,
    // else plus one unit.
    qint64 end() const;
    // Appends the times of the pictures that follow (a later segment), brought to this time base.
    void append(const PictureTimes &later);

    QJsonObject toJson() const;
    // False when the record is not one of these.
    static bool fromJson(const QJsonObject &record, PictureTimes *times);
};

#endif // PICTURETIMES_H
