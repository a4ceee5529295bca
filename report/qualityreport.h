#ifndef QUALITYREPORT_H
#define QUALITYREPORT_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <cmath>
#include <limits>

// A PSNR that cannot be known: a plane the pictures lack (4:0:0 pictures have no U and V).
// The report's files hold it as null (JSON) or an empty field (CSV); every figure worked out
// from it is unknown too, and a mean over planes takes only the planes that are there.
inline constexpr double unknownPsnr = std::numeric_limits<double>::quiet_NaN();
inline bool psnrKnown(double psnr)
{
    return !std::isnan(psnr);
}
// The reference encoders print "U 0.0000 dB    V 0.0000 dB" for the planes a 4:0:0 picture
// lacks, and reports written before null stood for them hold those zeros: two chroma PSNRs of
// exactly 0 dB (every sample off by the whole range) are no measurement, and become unknown.
inline void chromaUnknownWhereZero(double *psnrU, double *psnrV)
{
    if (*psnrU == 0 && *psnrV == 0)
        *psnrU = *psnrV = unknownPsnr;
}

// One picture as the encoder reported it.
struct PictureRow
{
    qint64 index = 0;   // position in display order within the whole output
    int poc = 0;        // picture order count as the encoder printed it
    char type = 'B';    // slice type: 'I', 'P' or 'B'
    int qp = 0;
    qint64 bits = 0;
    double psnrY = 0;
    double psnrU = 0;   // unknownPsnr for pictures without chroma
    double psnrV = 0;
};

// What the encode achieved as a whole.
struct ReportSummary
{
    QString output;               // the bitstream the report describes
    qint64 pictures = 0;
    qint64 bytes = -1;            // the output file's size; -1 when it cannot be read
    double frameRate = 0;         // pictures per second of the output; 0 when unknown
    double durationSeconds = 0;   // pictures / frame rate; 0 when the rate is unknown
    double kbitPerSecond = 0;     // from the file's size and the duration; 0 when unknown
    bool hasQuality = false;      // whether the PSNR figures below hold (picture lines were read)
    double psnrY = 0;             // means over the pictures
    double psnrU = 0;             // unknownPsnr where a picture has no chroma
    double psnrV = 0;
    double psnrYuv = 0;           // (6 Y + U + V) / 8: YuvWeights' default; Y alone without chroma
    double lowestPsnrY = 0;
    qint64 lowestPsnrYPicture = -1;
    double encodingSeconds = 0;
    double picturesPerSecond = 0;
    int qp = -1;                  // the QP the encoder was given on its command line; -1: its own
};

// The per-picture quality report of one encode: the encoder's picture lines as rows in display
// order, and a summary worked out from them, the output file and the frame rate. Rows arrive
// per encoder stream, placed at the index of the stream's first picture, so that the streams of
// separately encoded segments make one report. It saves as JSON ({"summary": {...},
// "pictures": [...]}) or as CSV with a header row, and reads both back.
class QualityReport
{
public:
    // Puts rows whose indexes count from 0 within their stream at firstIndex onwards; a row at
    // an index already held replaces it.
    void placeRows(qint64 firstIndex, const QList<PictureRow> &rows);
    // Every row in display order.
    QList<PictureRow> rows() const;
    qint64 rowCount() const { return byIndex.size(); }

    // Works the summary out from the rows, the output file's size and the frame rate (0 when
    // unknown). Without rows the count is picturesGiven, and the summary has no PSNR figures.
    void summarize(const QString &outputFile, double frameRate, double encodingSeconds,
                   qint64 picturesGiven, int qp = -1);
    const ReportSummary &summary() const { return sums; }
    // The file the summary names, where the bitstream it measured was a step on the way to it
    // (a joined stream, a container's hidden bitstream).
    void nameOutput(const QString &output) { sums.output = output; }

    // One line for a terminal, e.g. "Encoded 1500 pictures in 4:12 (5.9 fps): 21.2 MB,
    // 2823 kbit/s, PSNR Y 41.37 U 43.12 V 43.30 dB (lowest Y 38.02 at picture 911)".
    QString summaryLine() const;
    // The rate and the mean PSNR figures, e.g. "2823.4 kbit/s, PSNR Y 41.37 U 43.12 V 43.30 dB".
    QString rateLine() const;

    // The report as JSON text: the summary first, then one picture a line.
    QByteArray toJson() const;
    QByteArray toCsv() const;
    // Writes the report as CSV for a name ending in .csv, else as JSON, replacing the file only
    // when complete; false with the reason in *error.
    bool save(const QString &path, QString *error) const;
    // A PSNR with two decimals, or "–" where it cannot be known.
    static QString psnrText(double psnr);
    // A time as m:ss, or h:mm:ss from an hour on.
    static QString clockText(double seconds);
    // Whether save() knows the file's format from its name (.json or .csv).
    static bool isReportFileName(const QString &path);
    // Reads a report saved as JSON; false with the reason in *error.
    static bool fromJson(const QByteArray &json, QualityReport *report, QString *error);
    // Reads a report saved as CSV: its rows, and a summary worked out from them alone (the CSV
    // holds no output size or frame rate, so no rate); false with the reason in *error.
    static bool fromCsv(const QByteArray &csv, QualityReport *report, QString *error);
    // Whether the text opens with the CSV report's header row.
    static bool isCsv(const QByteArray &text);
    // The mean of the rows' bits per picture, in kbit; 0 without rows. Where the frame rate is
    // not known (a CSV report), this stands for the rate: for reports of one clip, rates in
    // kbit/s are these times the same frame rate.
    double kbitPerPicture() const;

    // Rows as the report's JSON holds them, for records that keep a stream's rows.
    static QJsonArray rowsToJson(const QList<PictureRow> &rows);
    static bool rowsFromJson(const QJsonArray &array, QList<PictureRow> *rows);

private:
    QList<QPair<QString, QJsonValue>> summaryFields() const;

    QMap<qint64, PictureRow> byIndex;
    ReportSummary sums;
};

#endif // QUALITYREPORT_H
