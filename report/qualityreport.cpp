#include "qualityreport.h"

#include "yuvweights.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

const char csvHeader[] = "index,poc,type,qp,bits,psnr_y,psnr_u,psnr_v\n";

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

QJsonValue figure(bool known, double value, int decimals)
{
    return known && psnrKnown(value) ? QJsonValue(rounded(value, decimals)) : QJsonValue(QJsonValue::Null);
}

// A PSNR as a report's JSON holds it: a number, or null where it cannot be known.
bool readPsnr(const QJsonObject &object, const char *key, double *value)
{
    const QJsonValue entry = object.value(QLatin1String(key));
    if (entry.isNull()) {
        *value = unknownPsnr;
        return true;
    }
    if (!entry.isDouble())
        return false;
    *value = entry.toDouble();
    return true;
}

QByteArray csvPsnr(double psnr)
{
    return psnrKnown(psnr) ? QByteArray::number(psnr, 'f', 4) : QByteArray();
}

QString sizeText(qint64 bytes)
{
    if (bytes >= 1000 * 1000)
        return QStringLiteral("%1 MB").arg(bytes / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 kB").arg(bytes / 1e3, 0, 'f', 1);
}

QString rateText(double kbitPerSecond)
{
    return QStringLiteral("%1 kbit/s").arg(kbitPerSecond, 0, 'f', kbitPerSecond >= 100 ? 0 : 1);
}

QString planesText(const ReportSummary &s)
{
    if (!psnrKnown(s.psnrU) || !psnrKnown(s.psnrV))
        return QStringLiteral("PSNR Y %1 dB (no chroma)").arg(s.psnrY, 0, 'f', 2);
    return QStringLiteral("PSNR Y %1 U %2 V %3 dB")
        .arg(s.psnrY, 0, 'f', 2).arg(s.psnrU, 0, 'f', 2).arg(s.psnrV, 0, 'f', 2);
}

// A picture's fields in the order the report's files show them.
QList<QPair<QString, QJsonValue>> rowFields(const PictureRow &row)
{
    return {
        {QStringLiteral("index"), row.index},
        {QStringLiteral("poc"), row.poc},
        {QStringLiteral("type"), QString(QLatin1Char(row.type))},
        {QStringLiteral("qp"), row.qp},
        {QStringLiteral("bits"), row.bits},
        {QStringLiteral("psnr_y"), row.psnrY},
        {QStringLiteral("psnr_u"), psnrKnown(row.psnrU) ? QJsonValue(row.psnrU) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("psnr_v"), psnrKnown(row.psnrV) ? QJsonValue(row.psnrV) : QJsonValue(QJsonValue::Null)},
    };
}

// "key": value as JSON text. QJsonObject would sort the keys; the files keep them in the
// order a reader expects (index first, the summary before the pictures).
QByteArray fieldText(const QPair<QString, QJsonValue> &field)
{
    const QJsonValue &value = field.second;
    QByteArray text = value.isDouble()
                          ? QByteArray::number(value.toDouble(), 'g', QLocale::FloatingPointShortest)
                          : QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
    return '"' + field.first.toUtf8() + "\": " + text;
}

// A number the JSON must hold; false when it is missing or not a number.
bool readNumber(const QJsonObject &object, const char *key, double *value)
{
    const QJsonValue entry = object.value(QLatin1String(key));
    if (!entry.isDouble())
        return false;
    *value = entry.toDouble();
    return true;
}

// A CSV line in the columns of csvHeader; false when it is not one. Empty chroma fields stand
// for planes the picture lacks.
bool rowFromCsv(const QByteArray &line, PictureRow *row)
{
    const QList<QByteArray> cells = line.split(',');
    if (cells.size() != 8 || cells.at(2).size() != 1 || !QByteArray("IPB").contains(cells.at(2).at(0)))
        return false;
    bool ok[7] = {};
    row->index = cells.at(0).toLongLong(&ok[0]);
    row->poc = cells.at(1).toInt(&ok[1]);
    row->type = cells.at(2).at(0);
    row->qp = cells.at(3).toInt(&ok[2]);
    row->bits = cells.at(4).toLongLong(&ok[3]);
    row->psnrY = cells.at(5).toDouble(&ok[4]);
    const bool chroma = !cells.at(6).trimmed().isEmpty() || !cells.at(7).trimmed().isEmpty();
    row->psnrU = chroma ? cells.at(6).toDouble(&ok[5]) : unknownPsnr;
    row->psnrV = chroma ? cells.at(7).toDouble(&ok[6]) : unknownPsnr;
    ok[5] = ok[5] || !chroma;
    ok[6] = ok[6] || !chroma;
    chromaUnknownWhereZero(&row->psnrU, &row->psnrV);
    return std::all_of(std::begin(ok), std::end(ok), [](bool read) { return read; });
}

} // namespace

QString QualityReport::psnrText(double psnr)
{
    return psnrKnown(psnr) ? QString::number(psnr, 'f', 2) : QStringLiteral("\u2013");
}

QString QualityReport::clockText(double seconds)
{
    const qint64 whole = qMax<qint64>(0, qint64(seconds + 0.5));
    const qint64 hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
    const QString tail = QStringLiteral("%1:%2").arg(minutes, hours > 0 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(rest, 2, 10, QLatin1Char('0'));
    return hours > 0 ? QString::number(hours) + QLatin1Char(':') + tail : tail;
}

void QualityReport::placeRows(qint64 firstIndex, const QList<PictureRow> &rows)
{
    for (PictureRow row : rows) {
        row.index += firstIndex;
        byIndex.insert(row.index, row);
    }
}

QList<PictureRow> QualityReport::rows() const
{
    return byIndex.values();
}

void QualityReport::summarize(const QString &outputFile, double frameRate, double encodingSeconds,
                              qint64 picturesGiven, int qp)
{
    ReportSummary s;
    s.output = outputFile;
    s.qp = qp;
    s.pictures = byIndex.isEmpty() ? picturesGiven : byIndex.size();
    QFileInfo output(outputFile);
    output.setCaching(false);
    s.bytes = !outputFile.isEmpty() && output.isFile() ? output.size() : -1;
    if (frameRate > 0 && std::isfinite(frameRate)) {
        s.frameRate = frameRate;
        s.durationSeconds = s.pictures / frameRate;
    }
    if (s.durationSeconds > 0 && s.bytes >= 0)
        s.kbitPerSecond = s.bytes * 8.0 / s.durationSeconds / 1000.0;

    if (!byIndex.isEmpty()) {
        s.hasQuality = true;
        s.lowestPsnrY = byIndex.first().psnrY;
        s.lowestPsnrYPicture = byIndex.first().index;
        for (const PictureRow &row : byIndex) {
            s.psnrY += row.psnrY;
            s.psnrU += row.psnrU;
            s.psnrV += row.psnrV;
            if (row.psnrY < s.lowestPsnrY) {
                s.lowestPsnrY = row.psnrY;
                s.lowestPsnrYPicture = row.index;
            }
        }
        const double count = byIndex.size();
        s.psnrY /= count;
        s.psnrU /= count;
        s.psnrV /= count;
        s.psnrYuv = YuvWeights().psnr(s.psnrY, s.psnrU, s.psnrV);
    }
    s.encodingSeconds = qMax(0.0, encodingSeconds);
    if (s.encodingSeconds > 0)
        s.picturesPerSecond = s.pictures / s.encodingSeconds;
    sums = s;
}

QString QualityReport::summaryLine() const
{
    const ReportSummary &s = sums;
    QStringList parts;
    if (s.bytes >= 0)
        parts << sizeText(s.bytes);
    if (s.kbitPerSecond > 0)
        parts << rateText(s.kbitPerSecond);
    if (s.hasQuality)
        parts << planesText(s) + QStringLiteral(" (lowest Y %1 at picture %2)")
                                   .arg(s.lowestPsnrY, 0, 'f', 2).arg(s.lowestPsnrYPicture);
    QString line = QStringLiteral("Encoded %1 pictures in %2 (%3 fps)")
                       .arg(s.pictures).arg(clockText(s.encodingSeconds))
                       .arg(s.picturesPerSecond, 0, 'f', 1);
    if (!parts.isEmpty())
        line += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    return line;
}

QString QualityReport::rateLine() const
{
    QStringList parts;
    parts << (sums.kbitPerSecond > 0 ? QStringLiteral("%1 kbit/s").arg(sums.kbitPerSecond, 0, 'f', 1)
                                     : QStringLiteral("rate unknown"));
    if (sums.hasQuality)
        parts << planesText(sums);
    return parts.join(QStringLiteral(", "));
}

QJsonArray QualityReport::rowsToJson(const QList<PictureRow> &rows)
{
    QJsonArray array;
    for (const PictureRow &row : rows) {
        QJsonObject object;
        for (const auto &[key, value] : rowFields(row))
            object.insert(key, value);
        array.append(object);
    }
    return array;
}

bool QualityReport::rowsFromJson(const QJsonArray &array, QList<PictureRow> *rows)
{
    QList<PictureRow> read;
    read.reserve(array.size());
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        const QString type = object.value(QStringLiteral("type")).toString();
        double index = 0, poc = 0, qp = 0, bits = 0;
        PictureRow row;
        if (!readNumber(object, "index", &index) || !readNumber(object, "poc", &poc)
            || !readNumber(object, "qp", &qp) || !readNumber(object, "bits", &bits)
            || !readNumber(object, "psnr_y", &row.psnrY) || !readPsnr(object, "psnr_u", &row.psnrU)
            || !readPsnr(object, "psnr_v", &row.psnrV) || type.size() != 1
            || !QStringLiteral("IPB").contains(type))
            return false;
        chromaUnknownWhereZero(&row.psnrU, &row.psnrV);
        row.index = qint64(index);
        row.poc = int(poc);
        row.qp = int(qp);
        row.bits = qint64(bits);
        row.type = type.at(0).toLatin1();
        read.append(row);
    }
    *rows = read;
    return true;
}

QList<QPair<QString, QJsonValue>> QualityReport::summaryFields() const
{
    const ReportSummary &s = sums;
    const bool timed = s.frameRate > 0;
    return {
        {QStringLiteral("output"), s.output},
        {QStringLiteral("pictures"), s.pictures},
        {QStringLiteral("bytes"), s.bytes >= 0 ? QJsonValue(s.bytes) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("frame_rate"), figure(timed, s.frameRate, 6)},
        {QStringLiteral("duration_s"), figure(timed, s.durationSeconds, 6)},
        {QStringLiteral("rate_kbps"), figure(timed && s.bytes >= 0, s.kbitPerSecond, 4)},
        {QStringLiteral("psnr_y"), figure(s.hasQuality, s.psnrY, 4)},
        {QStringLiteral("psnr_u"), figure(s.hasQuality, s.psnrU, 4)},
        {QStringLiteral("psnr_v"), figure(s.hasQuality, s.psnrV, 4)},
        {QStringLiteral("psnr_yuv"), figure(s.hasQuality, s.psnrYuv, 4)},
        {QStringLiteral("lowest_psnr_y"), figure(s.hasQuality, s.lowestPsnrY, 4)},
        {QStringLiteral("lowest_psnr_y_picture"),
         s.hasQuality ? QJsonValue(s.lowestPsnrYPicture) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("encoding_time_s"), rounded(s.encodingSeconds, 3)},
        {QStringLiteral("fps"), rounded(s.picturesPerSecond, 3)},
        {QStringLiteral("qp"), s.qp >= 0 ? QJsonValue(s.qp) : QJsonValue(QJsonValue::Null)},
    };
}

QByteArray QualityReport::toJson() const
{
    QByteArray text = "{\n  \"summary\": {\n";
    const auto fields = summaryFields();
    for (qsizetype i = 0; i < fields.size(); ++i)
        text += "    " + fieldText(fields.at(i)) + (i + 1 < fields.size() ? ",\n" : "\n");
    text += "  },\n  \"pictures\": [";
    bool first = true;
    for (const PictureRow &row : byIndex) {
        text += first ? "\n    {" : ",\n    {";
        first = false;
        const auto values = rowFields(row);
        for (qsizetype i = 0; i < values.size(); ++i)
            text += (i > 0 ? ", " : "") + fieldText(values.at(i));
        text += '}';
    }
    text += first ? "]\n}\n" : "\n  ]\n}\n";
    return text;
}

QByteArray QualityReport::toCsv() const
{
    QByteArray csv(csvHeader);
    csv.reserve(csv.size() + byIndex.size() * 56);
    for (const PictureRow &row : byIndex) {
        csv += QByteArray::number(row.index) + ',' + QByteArray::number(row.poc) + ',' + row.type + ','
               + QByteArray::number(row.qp) + ',' + QByteArray::number(row.bits) + ','
               + QByteArray::number(row.psnrY, 'f', 4) + ',' + csvPsnr(row.psnrU) + ',' + csvPsnr(row.psnrV) + '\n';
    }
    return csv;
}

bool QualityReport::isReportFileName(const QString &path)
{
    return path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)
           || path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
}

bool QualityReport::save(const QString &path, QString *error) const
{
    const QByteArray bytes = path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)
                                 ? toCsv()
                                 : toJson();
    // Unbuffered: a buffered write that fails only as the commit flushes it is not reported by
    // QSaveFile, which would then put a cut-short report in place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size()
        || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

bool QualityReport::fromJson(const QByteArray &json, QualityReport *report, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON (%1 at byte %2)").arg(parseError.errorString()).arg(parseError.offset);
        return false;
    }
    const QJsonObject summary = document.object().value(QStringLiteral("summary")).toObject();
    const QJsonValue pictures = document.object().value(QStringLiteral("pictures"));
    double count = 0;
    if (!pictures.isArray() || !readNumber(summary, "pictures", &count)) {
        *error = QStringLiteral("no \"summary\" with \"pictures\" and no \"pictures\" list");
        return false;
    }
    QList<PictureRow> rows;
    if (!QualityReport::rowsFromJson(pictures.toArray(), &rows)) {
        *error = QStringLiteral("a picture without index, poc, type, qp, bits or PSNR");
        return false;
    }

    QualityReport read;
    read.placeRows(0, rows);
    ReportSummary &s = read.sums;
    s.pictures = qint64(count);
    s.output = summary.value(QStringLiteral("output")).toString();
    double number = 0;
    if (readNumber(summary, "bytes", &number))
        s.bytes = qint64(number);
    readNumber(summary, "frame_rate", &s.frameRate);
    readNumber(summary, "duration_s", &s.durationSeconds);
    readNumber(summary, "rate_kbps", &s.kbitPerSecond);
    s.hasQuality = readNumber(summary, "psnr_y", &s.psnrY) && readPsnr(summary, "psnr_u", &s.psnrU)
                   && readPsnr(summary, "psnr_v", &s.psnrV);
    readNumber(summary, "psnr_yuv", &s.psnrYuv);
    if (s.hasQuality && s.psnrU == 0 && s.psnrV == 0) {
        chromaUnknownWhereZero(&s.psnrU, &s.psnrV);
        s.psnrYuv = YuvWeights().psnr(s.psnrY, s.psnrU, s.psnrV);
    }
    readNumber(summary, "lowest_psnr_y", &s.lowestPsnrY);
    if (readNumber(summary, "lowest_psnr_y_picture", &number))
        s.lowestPsnrYPicture = qint64(number);
    readNumber(summary, "encoding_time_s", &s.encodingSeconds);
    readNumber(summary, "fps", &s.picturesPerSecond);
    if (readNumber(summary, "qp", &number))
        s.qp = int(number);
    *report = read;
    return true;
}

bool QualityReport::isCsv(const QByteArray &text)
{
    return text.startsWith(QByteArray(csvHeader).trimmed());
}

bool QualityReport::fromCsv(const QByteArray &csv, QualityReport *report, QString *error)
{
    const QList<QByteArray> lines = csv.split('\n');
    if (lines.first().trimmed() != QByteArray(csvHeader).trimmed()) {
        *error = QStringLiteral("not a CSV report (its first line is not \"%1\")")
                     .arg(QString::fromLatin1(csvHeader).trimmed());
        return false;
    }
    QList<PictureRow> rows;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        PictureRow row;
        if (!rowFromCsv(line, &row)) {
            *error = QStringLiteral("line %1 is no picture row of the CSV report").arg(i + 1);
            return false;
        }
        rows.append(row);
    }
    QualityReport read;
    read.placeRows(0, rows);
    read.summarize(QString(), 0, 0, read.rowCount());
    *report = read;
    return true;
}

double QualityReport::kbitPerPicture() const
{
    if (byIndex.isEmpty())
        return 0;
    double bits = 0;
    for (const PictureRow &row : byIndex)
        bits += double(row.bits);
    return bits / double(byIndex.size()) / 1000.0;
}
