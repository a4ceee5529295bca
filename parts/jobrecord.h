#ifndef JOBRECORD_H
#define JOBRECORD_H

#include "segmentplan.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// What the segments are made from: a later run may reuse them only when it matches.
struct JobRecord
{
    QString input;
    qint64 inputSize = 0;
    qint64 inputModifiedMs = 0;
    QByteArray configHash;       // SHA-256 of the configuration's contents, hex
    QString encoder;
    qint64 encoderSize = 0;
    qint64 encoderModifiedMs = 0;
    int width = 0, height = 0;   // the input's picture size
    qint64 startPicture = 0;
    qint64 pictureLimit = -1;
    qint64 segmentLength = 0;
    QList<SegmentPlan::Segment> segments;
    QJsonObject extra;           // further settings that change the segments' bytes
    // Why this encoder and configuration are known to give segments whose seams cannot be
    // joined exactly (a seam whose two copies differed); empty: segments overlap where they can.
    // Not compared: a job that learns it goes on with its kept segments.
    QString closedSeams;

    QJsonObject toJson() const;
    static JobRecord fromJson(const QJsonObject &object);
    // What differs from `other` that makes segments of one unfit for the other, in words
    // ("the configuration's contents changed"); empty when they fit. The plan is not
    // compared: a later run takes the recorded one.
    QString difference(const JobRecord &other) const;
};

#endif // JOBRECORD_H
