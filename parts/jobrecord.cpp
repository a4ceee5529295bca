#include "jobrecord.h"

#include <QDir>
#include <QJsonArray>

namespace {

QJsonArray segmentsToJson(const QList<SegmentPlan::Segment> &segments)
{
    QJsonArray array;
    for (const SegmentPlan::Segment &segment : segments)
        array.append(QJsonArray{segment.first, segment.count});
    return array;
}

} // namespace

QJsonObject JobRecord::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("input"), QJsonObject{{"path", input}, {"size", inputSize},
                                                       {"modified_ms", inputModifiedMs}});
    object.insert(QStringLiteral("configuration_sha256"), QString::fromLatin1(configHash));
    object.insert(QStringLiteral("encoder"), QJsonObject{{"path", encoder}, {"size", encoderSize},
                                                         {"modified_ms", encoderModifiedMs}});
    object.insert(QStringLiteral("picture_size"), QJsonArray{width, height});
    object.insert(QStringLiteral("start_picture"), startPicture);
    object.insert(QStringLiteral("picture_limit"), pictureLimit);
    object.insert(QStringLiteral("segment_length"), segmentLength);
    object.insert(QStringLiteral("segments"), segmentsToJson(segments));
    object.insert(QStringLiteral("settings"), extra);
    if (!closedSeams.isEmpty())
        object.insert(QStringLiteral("closed_seams"), closedSeams);
    return object;
}

JobRecord JobRecord::fromJson(const QJsonObject &object)
{
    JobRecord record;
    const QJsonObject input = object.value(QStringLiteral("input")).toObject();
    record.input = input.value(QStringLiteral("path")).toString();
    record.inputSize = qint64(input.value(QStringLiteral("size")).toDouble());
    record.inputModifiedMs = qint64(input.value(QStringLiteral("modified_ms")).toDouble());
    record.configHash = object.value(QStringLiteral("configuration_sha256")).toString().toLatin1();
    const QJsonObject encoder = object.value(QStringLiteral("encoder")).toObject();
    record.encoder = encoder.value(QStringLiteral("path")).toString();
    record.encoderSize = qint64(encoder.value(QStringLiteral("size")).toDouble());
    record.encoderModifiedMs = qint64(encoder.value(QStringLiteral("modified_ms")).toDouble());
    const QJsonArray size = object.value(QStringLiteral("picture_size")).toArray();
    record.width = size.at(0).toInt();
    record.height = size.at(1).toInt();
    record.startPicture = qint64(object.value(QStringLiteral("start_picture")).toDouble());
    record.pictureLimit = qint64(object.value(QStringLiteral("picture_limit")).toDouble(-1));
    record.segmentLength = qint64(object.value(QStringLiteral("segment_length")).toDouble());
    for (const QJsonValue &value : object.value(QStringLiteral("segments")).toArray()) {
        const QJsonArray pair = value.toArray();
        record.segments.append({qint64(pair.at(0).toDouble()), qint64(pair.at(1).toDouble())});
    }
    record.extra = object.value(QStringLiteral("settings")).toObject();
    record.closedSeams = object.value(QStringLiteral("closed_seams")).toString();
    return record;
}

QString JobRecord::difference(const JobRecord &other) const
{
    if (input != other.input)
        return QStringLiteral("they were made from another input (%1)").arg(QDir::toNativeSeparators(other.input));
    if (inputSize != other.inputSize || inputModifiedMs != other.inputModifiedMs)
        return QStringLiteral("the input has changed since");
    if (configHash != other.configHash)
        return QStringLiteral("the configuration's contents have changed since");
    if (encoder != other.encoder)
        return QStringLiteral("they were made by another encoder (%1)").arg(QDir::toNativeSeparators(other.encoder));
    if (encoderSize != other.encoderSize || encoderModifiedMs != other.encoderModifiedMs)
        return QStringLiteral("the encoder program has changed since");
    if (width != other.width || height != other.height)
        return QStringLiteral("their pictures are %1x%2, the input's now %3x%4")
            .arg(other.width).arg(other.height).arg(width).arg(height);
    if (startPicture != other.startPicture || pictureLimit != other.pictureLimit)
        return QStringLiteral("they cover another part of the input");
    if (extra != other.extra)
        return QStringLiteral("they were made with other settings");
    return QString();
}

