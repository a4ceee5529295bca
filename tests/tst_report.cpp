// The quality report: the encoder's picture lines read into rows in display order whatever
// pieces they arrive in, odd and garbled lines left out, a stream's rows kept in a record and
// placed at their segment's first picture, CSV and JSON holding the same rows, the BD figures
// against an independent computation, and the report dialog's plot and files.

#include "report/bdrate.h"
#include "report/encoderlinereader.h"
#include "report/qualityreport.h"
#include "window/reportdialog.h"

#include "support/testsupport.h"

#include <QAreaSeries>
#include <QChart>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineSeries>
#include <QtTest>

#include <cmath>

using TestSupport::IsolatedEnvironment;

namespace {

// The reference encoder's own lines for 20 pictures of the random-access configuration
// (hevczent.cfg, 176x144), in its coding order.
const char referenceLines[] = R"(
POC    0 TId: 0 ( I-SLICE, nQP 29 QP 29 )      17472 bits [Y 42.9626 dB    U 40.3832 dB    V 40.1243 dB] [ET     0 ] [L0 ] [L1 ]
POC   16 TId: 0 ( B-SLICE, nQP 33 QP 33 )       8824 bits [Y 40.1354 dB    U 37.8570 dB    V 37.9254 dB] [ET     0 ] [L0 0 ] [L1 0 ]
POC    8 TId: 1 ( B-SLICE, nQP 35 QP 35 )       4448 bits [Y 39.1653 dB    U 37.9897 dB    V 37.9156 dB] [ET     0 ] [L0 0 16 ] [L1 16 0 ]
POC    4 TId: 2 ( B-SLICE, nQP 38 QP 38 )       2744 bits [Y 37.6399 dB    U 37.5683 dB    V 37.0475 dB] [ET     0 ] [L0 0 8 ] [L1 8 16 ]
POC    2 TId: 3 ( B-SLICE, nQP 40 QP 40 )       1816 bits [Y 37.2174 dB    U 37.2156 dB    V 36.9660 dB] [ET     0 ] [L0 0 4 ] [L1 4 8 ]
POC    1 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1440 bits [Y 36.6853 dB    U 36.8871 dB    V 36.8772 dB] [ET     0 ] [L0 0 2 ] [L1 2 4 ]
POC    3 TId: 4 ( B-SLICE, nQP 41 QP 41 )        968 bits [Y 36.5988 dB    U 37.2122 dB    V 36.8025 dB] [ET     0 ] [L0 2 0 ] [L1 4 8 ]
POC    6 TId: 3 ( B-SLICE, nQP 40 QP 40 )       1440 bits [Y 37.1373 dB    U 36.8169 dB    V 36.6511 dB] [ET     0 ] [L0 4 0 ] [L1 8 16 ]
POC    5 TId: 4 ( B-SLICE, nQP 41 QP 41 )        984 bits [Y 36.2185 dB    U 36.7813 dB    V 36.0451 dB] [ET     0 ] [L0 4 0 ] [L1 6 8 ]
POC    7 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1256 bits [Y 36.4870 dB    U 36.4702 dB    V 36.3500 dB] [ET     0 ] [L0 6 0 ] [L1 8 16 ]
POC   12 TId: 2 ( B-SLICE, nQP 38 QP 38 )       2648 bits [Y 37.4675 dB    U 37.1414 dB    V 36.7326 dB] [ET     0 ] [L0 8 0 ] [L1 16 8 ]
POC   10 TId: 3 ( B-SLICE, nQP 40 QP 40 )       1280 bits [Y 36.7228 dB    U 36.7231 dB    V 36.3940 dB] [ET     0 ] [L0 8 0 ] [L1 12 16 ]
POC    9 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1384 bits [Y 36.0185 dB    U 36.5334 dB    V 36.4467 dB] [ET     0 ] [L0 8 0 ] [L1 10 12 ]
POC   11 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1280 bits [Y 36.2758 dB    U 36.4560 dB    V 36.6414 dB] [ET     0 ] [L0 10 0 ] [L1 12 16 ]
POC   14 TId: 3 ( B-SLICE, nQP 40 QP 40 )       1984 bits [Y 36.4681 dB    U 36.1457 dB    V 36.2560 dB] [ET     0 ] [L0 12 0 ] [L1 16 12 ]
POC   13 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1264 bits [Y 36.1212 dB    U 36.5514 dB    V 36.1500 dB] [ET     0 ] [L0 12 0 ] [L1 14 16 ]
POC   15 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1216 bits [Y 36.2908 dB    U 37.0179 dB    V 36.2767 dB] [ET     0 ] [L0 14 12 ] [L1 16 14 ]
POC   18 TId: 3 ( B-SLICE, nQP 40 QP 40 )       2552 bits [Y 36.3566 dB    U 36.0002 dB    V 35.8577 dB] [ET     0 ] [L0 16 0 ] [L1 16 0 ]
POC   17 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1424 bits [Y 35.6178 dB    U 36.2297 dB    V 36.2016 dB] [ET     0 ] [L0 16 18 ] [L1 18 16 ]
POC   19 TId: 4 ( B-SLICE, nQP 41 QP 41 )       1680 bits [Y 35.6009 dB    U 35.8653 dB    V 36.0547 dB] [ET     0 ] [L0 18 16 ] [L1 18 16 ]
)";

// A picture line in one of the shapes encoders print: the reference encoder's, one with a
// layer id and the NAL unit type, and the bundled encoder's "b" for an unreferenced B picture.
QByteArray pictureLine(int poc, char type, qint64 bits, double psnrY, int shape = 0)
{
    const QByteArray y = QByteArray::number(psnrY, 'f', 4);
    switch (shape) {
    case 1:
        return "POC " + QByteArray::number(poc) + " LId:  0 TId: 1 ( CRA_NUT, " + type + "-SLICE, nQP 30 QP 31 ) "
               + QByteArray::number(bits) + " bits [Y " + y + " dB    U 40.0000 dB    V 41.0000 dB] [ET 9 ] [L0 0 ]\n";
    case 2:
        return "POC " + QByteArray::number(poc).rightJustified(4) + " TId: 0 ( " + char(type == 'B' ? 'b' : type)
               + "-SLICE, nQP 31 QP 31 ) " + QByteArray::number(bits).rightJustified(10) + " bits [Y " + y
               + " dB    U 40.0000 dB    V 41.0000 dB]\r\n";
    default:
        return "POC " + QByteArray::number(poc).rightJustified(4) + " TId: 2 ( " + type + "-SLICE, nQP 31 QP 31 ) "
               + QByteArray::number(bits).rightJustified(10) + " bits [Y " + y + " dB    U 40.0000 dB    V 41.0000 dB]\n";
    }
}

// Lines for (poc, type) pairs in coding order; each picture's bits are 1000 + 10 * its POC
// (plus 500 per restart of the count before it), so a row shows which line it came from.
QByteArray codingOrder(const QList<QPair<int, char>> &pictures, int shape = 0)
{
    QByteArray text = "banner line\n";
    for (const auto &[poc, type] : pictures)
        text += pictureLine(poc, type, 1000 + 10 * poc, 35.0 + poc / 100.0, shape);
    return text + "SUMMARY --------\n";
}

// The rows a reader makes of the text fed in pieces of this size (0: all at once).
QList<PictureRow> readInPieces(const QByteArray &text, int pieceSize)
{
    EncoderLineReader reader;
    if (pieceSize == 0) {
        reader.feed(text);
    } else {
        for (qsizetype at = 0; at < text.size(); at += pieceSize)
            reader.feed(text.mid(at, pieceSize));
    }
    reader.finish();
    return reader.rows();
}

QList<RatePoint> points(const QList<double> &rates, const QList<double> &psnr)
{
    QList<RatePoint> list;
    for (qsizetype i = 0; i < rates.size(); ++i)
        list.append({rates.at(i), psnr.at(i)});
    return list;
}


QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// A JSON report as the program writes it, summary first, with these figures (NaN: null).
QByteArray jsonReport(double rate, double psnrY, double psnrU, double psnrV)
{
    const auto figure = [](double value) { return std::isnan(value) ? QJsonValue(QJsonValue::Null) : QJsonValue(value); };
    const QJsonObject summary{{"output", "out.265"}, {"pictures", 17}, {"bytes", 1000}, {"frame_rate", 25},
                              {"duration_s", 0.68}, {"rate_kbps", figure(rate)}, {"psnr_y", figure(psnrY)},
                              {"psnr_u", figure(psnrU)}, {"psnr_v", figure(psnrV)}};
    return QJsonDocument(QJsonObject{{"summary", summary}, {"pictures", QJsonArray()}}).toJson();
}

// Ten pictures of one encode; the bits scaled by rateScale, the PSNR lowered by worse dB. The
// bits are multiples of 640, so that scaled by 0.9 and halved a few times they stay whole bytes.
QList<PictureRow> encodeRows(double rateScale, double worse)
{
    QList<PictureRow> rows;
    for (int i = 0; i < 10; ++i) {
        PictureRow row;
        row.index = row.poc = i;
        row.type = i == 0 ? 'I' : 'B';
        row.qp = 30;
        row.bits = qRound64((i == 0 ? 40960 : 6400 + 640 * i) * rateScale);
        row.psnrY = 40 + i / 10.0 - worse;
        row.psnrU = 42 + i / 20.0 - worse;
        row.psnrV = 43 - i / 20.0 - worse;
        rows << row;
    }
    return rows;
}

} // namespace

class ReportTest : public QObject
{
    Q_OBJECT

private slots:
    void reader_putsPicturesInDisplayOrder_data();
    void reader_putsPicturesInDisplayOrder();
    void reader_leavesOutOddLines_data();
    void reader_leavesOutOddLines();
    void segments_rowsKeptInRecordAndPlacedAtTheirFirstPicture();
    void files_csvAndJsonHoldTheSameRows();
    void bdRate_matchesIndependentComputation();
    void bdRate_identicalSetsAndTenPercentLessRate();
    void bdRate_refusesWhatItCannotCompute_data();
    void bdRate_refusesWhatItCannotCompute();
    void bdRateCommand_refusesWhatItCannotCompute_data();
    void bdRateCommand_refusesWhatItCannotCompute();
    void bdRateCommand_readsTheProgramsOwnCsvReports();
    void dialog_plotsEveryPictureAndSaves();
};

void ReportTest::reader_putsPicturesInDisplayOrder_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<int>>("pocs");
    QTest::addColumn<QList<qint64>>("bits");
    QTest::addColumn<QByteArray>("types");

    QList<int> twenty;
    for (int poc = 0; poc < 20; ++poc)
        twenty << poc;
    QTest::newRow("reference encoder, hierarchical B")
        << QByteArray(referenceLines) << twenty
        << QList<qint64>{17472, 1440, 1816, 968, 2744, 984, 1440, 1256, 4448, 1384,
                         1280, 1280, 2648, 1264, 1984, 1216, 8824, 1424, 2552, 1680}
        << QByteArray("IBBBBBBBBBBBBBBBBBBB");

    // A clean random access picture continues the count: no restart before POC 16.
    const QList<QPair<int, char>> open = {{0, 'I'}, {8, 'P'}, {4, 'B'}, {2, 'B'}, {6, 'B'},
                                          {16, 'I'}, {12, 'B'}, {10, 'B'}, {14, 'B'}};
    QTest::newRow("count continues over an intra picture")
        << codingOrder(open, 1) << QList<int>{0, 2, 4, 6, 8, 10, 12, 14, 16}
        << QList<qint64>{1000, 1020, 1040, 1060, 1080, 1100, 1120, 1140, 1160} << QByteArray("IBBBPBBBI");

    // An IDR starts the count again; its leading pictures (negative counts) come before it.
    const QList<QPair<int, char>> restarts = {{0, 'I'}, {4, 'P'}, {2, 'B'}, {1, 'B'}, {3, 'B'},
                                              {0, 'I'}, {-2, 'B'}, {-1, 'B'}, {2, 'P'}, {1, 'B'},
                                              {0, 'I'}, {1, 'P'}};
    QTest::newRow("counts restart at IDR pictures")
        << codingOrder(restarts, 2) << QList<int>{0, 1, 2, 3, 4, -2, -1, 0, 1, 2, 0, 1}
        << QList<qint64>{1000, 1010, 1020, 1030, 1040, 980, 990, 1000, 1010, 1020, 1000, 1010}
        << QByteArray("IBBBPBBIBPIP");
}

// Whole, in lines cut at every byte, and in pieces of 7 and 100 bytes: the same rows, in
// display order, counted from 0, each with its own line's figures ("b" read as B).
void ReportTest::reader_putsPicturesInDisplayOrder()
{
    IsolatedEnvironment env;
    QFETCH(QByteArray, text);
    QFETCH(QList<int>, pocs);
    QFETCH(QList<qint64>, bits);
    QFETCH(QByteArray, types);

    for (int pieceSize : {0, 1, 7, 100}) {
        const QList<PictureRow> rows = readInPieces(text, pieceSize);
        QList<int> readPocs;
        QList<qint64> readBits;
        QByteArray readTypes;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows.at(i).index, i);
            readPocs << rows.at(i).poc;
            readBits << rows.at(i).bits;
            readTypes += rows.at(i).type;
        }
        QCOMPARE(readPocs, pocs);
        QCOMPARE(readBits, bits);
        QCOMPARE(readTypes, types);
    }
    // The figures of one line, the reference encoder's QP rather than its "nQP".
    const PictureRow first = readInPieces(text, 0).first();
    QCOMPARE(first.qp, text.startsWith("banner") ? 31 : 29);
    QVERIFY(first.psnrU > 30 && first.psnrV > 30 && first.psnrV != first.psnrU);
}

void ReportTest::reader_leavesOutOddLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<int>>("pocs");

    QTest::newRow("no picture lines")
        << QByteArray("Morlunex stand-in HEVC encoder\nQP : 32\n\nSUMMARY ----\n\tTotal Frames |   Bitrate\n"
                      "Bytes written to file: 1234 (5.000 kbps)\n")
        << QList<int>{};
    QByteArray garbled = pictureLine(0, 'I', 5000, 40.0);
    garbled += "POC\n";
    garbled += "POC    3 TId: 0 ( B-SLICE, nQP 30 QP 30 )  bits [Y 36.0000 dB    U 37.0000 dB    V 38.0000 dB]\n";
    garbled += "POC    x TId: 0 ( B-SLICE, nQP 30 QP 30 )   100 bits [Y 36.0000 dB    U 37.0000 dB    V 38.0000 dB]\n";
    garbled += "POC    5 TId: 0 ( X-SLICE, nQP 30 QP 30 )   100 bits [Y 36.0000 dB    U 37.0000 dB    V 38.0000 dB]\n";
    garbled += "POC    6 TId: 0 ( B-SLICE, nQP 30 QP 30 )   100 bits [Y nan dB    U 37.0000 dB    V 38.0000 dB]\n";
    garbled += "progress: POC    7 TId: 0 ( B-SLICE, nQP 30 QP 30 )   100 bits [Y 36.0000 dB]\n";
    garbled += QByteArray("\0\x01\xff binary POC 8 \x80\n", 17);
    garbled += "POC    9 " + QByteArray(200000, 'x') + " TId: 0 ( B-SLICE, QP 30 ) 100 bits [Y 36.0000 dB]\n";
    garbled += pictureLine(2, 'P', 3000, 38.0);
    garbled += pictureLine(1, 'B', 1000, 37.0);
    garbled += "POC   11 TId: 0 ( B-SLI";  // cut off: the encoder died mid-line
    QTest::newRow("garbled and cut lines among good ones") << garbled << QList<int>{0, 1, 2};
}

// Lines of other shapes, broken numbers, a line far too long to be a picture line and a last
// line cut short are left out; the good lines around them are kept.
void ReportTest::reader_leavesOutOddLines()
{
    IsolatedEnvironment env;
    QFETCH(QByteArray, text);
    QFETCH(QList<int>, pocs);

    for (int pieceSize : {0, 1, 4096}) {
        const QList<PictureRow> rows = readInPieces(text, pieceSize);
        QList<int> readPocs;
        for (const PictureRow &row : rows)
            readPocs << row.poc;
        QCOMPARE(readPocs, pocs);
    }
}

// Two encoder streams of one job, as separately encoded segments give them: each stream's rows
// go through the segment's JSON record and back, then land at its first picture; the summary
// covers both.
void ReportTest::segments_rowsKeptInRecordAndPlacedAtTheirFirstPicture()
{
    IsolatedEnvironment env;
    const QList<QPair<int, char>> gop = {{0, 'I'}, {4, 'P'}, {2, 'B'}, {1, 'B'}, {3, 'B'}};
    QByteArray second = codingOrder(gop);
    second.replace(pictureLine(1, 'B', 1010, 35.01), pictureLine(1, 'B', 1010, 30.5));

    QList<PictureRow> kept[2];
    const QByteArray streams[2] = {codingOrder(gop), second};
    for (int segment = 0; segment < 2; ++segment) {
        const QByteArray record = QJsonDocument(QJsonObject{
            {"first_picture", segment * 5}, {"rows", QualityReport::rowsToJson(readInPieces(streams[segment], 0))}}).toJson();
        QVERIFY(QualityReport::rowsFromJson(QJsonDocument::fromJson(record).object().value("rows").toArray(),
                                            &kept[segment]));
    }
    QualityReport report;
    report.placeRows(5, kept[1]);  // the later segment may finish first
    report.placeRows(0, kept[0]);

    const QList<PictureRow> rows = report.rows();
    QCOMPARE(rows.size(), 10);
    double y = 0, u = 0, v = 0;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows.at(i).index, i);
        QCOMPARE(rows.at(i).poc, int(i % 5));
        y += rows.at(i).psnrY;
        u += rows.at(i).psnrU;
        v += rows.at(i).psnrV;
    }
    QVERIFY(TestSupport::writeFile(env.filePath("out.265"), QByteArray(10000, 'x')));
    report.summarize(env.filePath("out.265"), 25, 0.5, 0, 27);
    const ReportSummary &s = report.summary();
    QCOMPARE(s.pictures, 10);
    QCOMPARE(s.bytes, 10000);
    QCOMPARE(s.durationSeconds, 0.4);
    QCOMPARE(s.kbitPerSecond, 10000 * 8 / 0.4 / 1000);
    QCOMPARE(s.lowestPsnrY, 30.5);
    QCOMPARE(s.lowestPsnrYPicture, 6);
    QVERIFY(std::abs(s.psnrY - y / 10) < 1e-9);
    QVERIFY(std::abs(s.psnrYuv - (6 * y + u + v) / 80) < 1e-9);
    QCOMPARE(s.picturesPerSecond, 20.0);
    QCOMPARE(s.qp, 27);
}

// The two files of one report, each read back by its own means, hold the same rows; a file
// that cannot be written is reported with its reason and nothing is left behind.
void ReportTest::files_csvAndJsonHoldTheSameRows()
{
    IsolatedEnvironment env;
    QualityReport report;
    report.placeRows(0, readInPieces(referenceLines, 0));
    report.summarize(env.filePath("missing.265"), 25, 3.0, 20);
    QString error;
    QVERIFY2(report.save(env.filePath("r.csv"), &error), qPrintable(error));
    QVERIFY2(report.save(env.filePath("r.JSON"), &error), qPrintable(error));

    const QList<QByteArray> lines = TestSupport::readFile(env.filePath("r.csv")).trimmed().split('\n');
    QCOMPARE(lines.first(), QByteArray("index,poc,type,qp,bits,psnr_y,psnr_u,psnr_v"));
    const QJsonArray pictures = QJsonDocument::fromJson(TestSupport::readFile(env.filePath("r.JSON")))
                                    .object().value("pictures").toArray();
    QCOMPARE(pictures.size(), 20);
    QCOMPARE(lines.size(), 21);
    const QList<QByteArray> header = lines.first().split(',');
    for (int i = 0; i < 20; ++i) {
        const QList<QByteArray> cells = lines.at(i + 1).split(',');
        const QJsonObject row = pictures.at(i).toObject();
        QCOMPARE(cells.size(), 8);
        for (int column = 0; column < 8; ++column) {
            const QJsonValue value = row.value(QString::fromLatin1(header.at(column)));
            QVERIFY(value.isString() ? cells.at(column) == value.toString().toLatin1()
                                     : cells.at(column).toDouble() == value.toDouble());
        }
    }
    QCOMPARE(pictures.at(4).toObject().value("psnr_y").toDouble(), 37.6399);

    QualityReport read;
    QVERIFY2(QualityReport::fromJson(TestSupport::readFile(env.filePath("r.JSON")), &read, &error), qPrintable(error));
    QCOMPARE(read.rowCount(), 20);
    QVERIFY(std::abs(read.summary().psnrY - report.summary().psnrY) < 1e-4);
    QVERIFY(read.summary().bytes < 0);  // the output was missing

    QVERIFY(!report.save(env.filePath("no folder/r.csv"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(env.filePath("no folder")));
}

// Figures from tests/data/bdrate_example.py, which computes them with SciPy's monotone cubic
// interpolation and exact integration, apart from this program's code.
void ReportTest::bdRate_matchesIndependentComputation()
{
    IsolatedEnvironment env;
    const QList<double> anchorRate = {1523.6, 843.1, 478.9, 281.4};
    const QList<double> testRate = {1410.2, 790.5, 452.3, 268.0};
    const struct { QList<double> anchor, test; double bdRate; } planes[] = {
        {{40.12, 37.85, 35.52, 33.21}, {40.05, 37.83, 35.55, 33.30}, -6.0405657476},
        {{42.31, 40.95, 39.70, 38.62}, {42.40, 41.00, 39.71, 38.60}, -7.3528840800},
        {{43.02, 41.66, 40.38, 39.29}, {43.10, 41.70, 40.40, 39.25}, -7.1803506910},
    };
    QString error;
    for (const auto &plane : planes) {
        double percent = 0;
        QVERIFY2(BdRate::rateDifference(points(anchorRate, plane.anchor), points(testRate, plane.test), &percent, &error),
                 qPrintable(error));
        QVERIFY2(std::abs(percent - plane.bdRate) < 1e-8, qPrintable(QString::number(percent, 'f', 10)));
    }
    double decibels = 0;
    QVERIFY(BdRate::psnrDifference(points(anchorRate, planes[0].anchor), points(testRate, planes[0].test), &decibels, &error));
    QVERIFY2(std::abs(decibels - 0.2542827699) < 1e-8, qPrintable(QString::number(decibels, 'f', 10)));
}

void ReportTest::bdRate_identicalSetsAndTenPercentLessRate()
{
    IsolatedEnvironment env;
    const QList<double> rates = {2900, 1500, 800, 450};
    const QList<double> psnr = {41.2, 38.9, 36.4, 34.0};
    QList<double> less;
    for (double rate : rates)
        less << rate * 0.9;
    double percent = 1, decibels = 1;
    QString error;
    QVERIFY(BdRate::rateDifference(points(rates, psnr), points(rates, psnr), &percent, &error));
    QVERIFY(BdRate::psnrDifference(points(rates, psnr), points(rates, psnr), &decibels, &error));
    QVERIFY(std::abs(percent) < 1e-12 && std::abs(decibels) < 1e-12);
    QVERIFY(BdRate::rateDifference(points(rates, psnr), points(less, psnr), &percent, &error));
    QVERIFY2(std::abs(percent + 10) < 1e-9, qPrintable(QString::number(percent, 'f', 12)));
    // And the other way round: the anchor needs 1/0.9 of the test's rate.
    QVERIFY(BdRate::rateDifference(points(less, psnr), points(rates, psnr), &percent, &error));
    QVERIFY(std::abs(percent - 100.0 / 9) < 1e-9);
}

void ReportTest::bdRate_refusesWhatItCannotCompute_data()
{
    QTest::addColumn<QList<double>>("testRates");
    QTest::addColumn<QList<double>>("testPsnr");
    QTest::addColumn<QString>("reason");

    QTest::newRow("three points") << QList<double>{900, 500, 300} << QList<double>{38, 36, 34} << "at least 4";
    QTest::newRow("no overlap") << QList<double>{900, 500, 300, 200} << QList<double>{48, 46, 44, 43.5}
                                << "do not overlap";
    QTest::newRow("two points at one PSNR") << QList<double>{900, 500, 300, 200} << QList<double>{38, 36, 36, 34}
                                            << "same PSNR";
    QTest::newRow("no rate") << QList<double>{900, 500, 0, 200} << QList<double>{38, 36, 35, 34} << "above 0";
}

void ReportTest::bdRate_refusesWhatItCannotCompute()
{
    IsolatedEnvironment env;
    QFETCH(QList<double>, testRates);
    QFETCH(QList<double>, testPsnr);
    QFETCH(QString, reason);

    const QList<RatePoint> anchor = points({1000, 600, 350, 200}, {39, 37, 35, 33});
    double percent = 0;
    QString error;
    QVERIFY(!BdRate::rateDifference(anchor, points(testRates, testPsnr), &percent, &error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void ReportTest::bdRateCommand_refusesWhatItCannotCompute_data()
{
    QTest::addColumn<QString>("report");    // the one report of a0..a3, t0..t3 that is changed
    QTest::addColumn<QString>("field");     // rate_kbps or psnr_y/u/v set to value; "csv": written as CSV
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const double null = std::nan("");
    QTest::newRow("rate falls while PSNR rises") << "t3" << "rate_kbps" << 80.0 << 65
        << "no BD figures: the test curve's PSNR-Y does not rise with its rate between t2.json (74.1 kbit/s, "
           "36.89 dB) and t3.json (80 kbit/s, 33.21 dB)";
    QTest::newRow("two points at one rate") << "a1" << "rate_kbps" << 75.9 << 65
        << "the anchor curve's PSNR-Y does not rise with its rate between a1.json (75.9 kbit/s, 41.34 dB) and "
           "a2.json (75.9 kbit/s, 37.13 dB)";
    QTest::newRow("PSNR-V alone falls") << "t1" << "psnr_v" << 30.0 << 65
        << "the test curve's PSNR-V does not rise with its rate between t2.json (74.1 kbit/s, 33.89 dB) and t1.json "
           "(107.7 kbit/s, 30.00 dB)";
    QTest::newRow("rate of 1e308 kbit/s") << "t0" << "rate_kbps" << 1e308 << 65
        << "the report t0.json has rate_kbps 1e+308, which is no rate";
    QTest::newRow("rate of 10^9 kbit/s") << "a0" << "rate_kbps" << 1e9 << 65
        << "the report a0.json has rate_kbps 1e+09, which is no rate";
    QTest::newRow("negative rate") << "a3" << "rate_kbps" << -49.4 << 65
        << "the report a3.json has rate_kbps -49.4, which is no rate";
    QTest::newRow("no rate") << "t2" << "rate_kbps" << null << 65 << "the report t2.json has no rate";
    QTest::newRow("PSNR of 250 dB") << "t2" << "psnr_u" << 250.0 << 65
        << "the report t2.json has psnr_u 250, which is no PSNR";
    QTest::newRow("negative PSNR") << "a2" << "psnr_y" << -1.0 << 65
        << "the report a2.json has psnr_y -1, which is no PSNR";
    QTest::newRow("CSV among JSON reports") << "t3" << "csv" << 0.0 << 64
        << "--bd-rate takes reports of one kind: t3.csv is a CSV report, a0.json a JSON report";
}

// What the BD figures cannot take is refused, naming the file and the field (or the curve and
// its two points), before anything is printed on standard output.
void ReportTest::bdRateCommand_refusesWhatItCannotCompute()
{
    QFETCH(QString, report);
    QFETCH(QString, field);
    QFETCH(double, value);
    QFETCH(int, status);
    QFETCH(QString, message);

    IsolatedEnvironment env;
    // The worked example's curves; U and V 2 and 3 dB below Y.
    const QList<double> rates{178.4, 111.1, 75.9, 49.4, 173.0, 107.7, 74.1, 49.6};
    const QList<double> psnr{46.39, 41.34, 37.13, 33.48, 45.71, 40.91, 36.89, 33.21};
    QStringList anchors, tests;
    for (int i = 0; i < 8; ++i) {
        const QString name = QStringLiteral("%1%2").arg(i < 4 ? 'a' : 't').arg(i % 4);
        double figures[4] = {rates.at(i), psnr.at(i), psnr.at(i) - 2, psnr.at(i) - 3};
        const int changed = QStringList{"rate_kbps", "psnr_y", "psnr_u", "psnr_v"}.indexOf(field);
        if (name == report && changed >= 0)
            figures[changed] = value;
        const bool csv = name == report && field == "csv";
        QualityReport rows;
        rows.placeRows(0, encodeRows(1, 0));
        const QString file = name + (csv ? ".csv" : ".json");
        QVERIFY(TestSupport::writeFile(env.filePath(file), csv ? rows.toCsv()
                                                                : jsonReport(figures[0], figures[1], figures[2], figures[3])));
        (i < 4 ? anchors : tests) << file;
    }
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), QStringList{"--bd-rate"} + anchors + QStringList{"--vs"} + tests,
                                                        30000, env.path());
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == status, run.err.constData());
    QVERIFY2(run.err.startsWith("morlunex-cli: ") && run.err.contains(message.toUtf8()) && run.err.count('\n') == 1,
             run.err.constData());
    QCOMPARE(run.out, QByteArray());
}

// The CSV reports the program writes give the BD figures their JSON twins give: the rate of a
// CSV report is per picture, the same frame rate throughout divides out of the figures.
void ReportTest::bdRateCommand_readsTheProgramsOwnCsvReports()
{
    IsolatedEnvironment env;
    QStringList json, csv;
    for (int i = 0; i < 8; ++i) {
        // Four encodes a side, each 3 dB below the one before at half its rate; the test spends
        // 10 % fewer bits for the same PSNR.
        const QList<PictureRow> rows = encodeRows((i < 4 ? 1.0 : 0.9) / (1 << (i % 4)), 3.0 * (i % 4));
        qint64 bits = 0;
        for (const PictureRow &row : rows)
            bits += row.bits;
        const QString output = env.filePath(QStringLiteral("out%1.265").arg(i));
        QVERIFY(TestSupport::writeFile(output, QByteArray(bits / 8, 'x')));
        QualityReport report;
        report.placeRows(0, rows);
        report.summarize(output, 25, 1.0, rows.size());
        QString error;
        for (const QString suffix : {".json", ".csv"}) {
            const QString name = QStringLiteral("r%1%2").arg(i).arg(suffix);
            QVERIFY2(report.save(env.filePath(name), &error), qPrintable(error));
            (suffix == QLatin1String(".csv") ? csv : json) << name;
        }
    }
    QByteArray figures[2];
    for (int kind = 0; kind < 2; ++kind) {
        const QStringList &reports = kind ? csv : json;
        const TestSupport::RunResult run = TestSupport::run(
            cliProgram(), QStringList{"--bd-rate"} + reports.mid(0, 4) + QStringList{"--vs"} + reports.mid(4), 30000, env.path());
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
        figures[kind] = run.out;
    }
    QVERIFY2(figures[0].startsWith("BD-rate Y -10.00 %, U -10.00 %, V -10.00 %; BD-PSNR Y "), figures[0].constData());
    QCOMPARE(figures[1], figures[0]);
}

// The plot holds every picture at its index with its figures; the report and the plot save
// to files a reader can open, and a save that cannot be done says why.
void ReportTest::dialog_plotsEveryPictureAndSaves()
{
    IsolatedEnvironment env;
    QualityReport report;
    report.placeRows(0, readInPieces(referenceLines, 0));
    report.summarize(env.filePath("out.265"), 25, 3.0, 20);
    ReportDialog dialog(report, env.filePath("out.265"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QList<QLineSeries *> lines;
    qint64 barBits = 0;
    for (QAbstractSeries *series : dialog.chart()->series()) {
        if (auto *area = qobject_cast<QAreaSeries *>(series)) {
            const QList<QPointF> outline = area->upperSeries()->points();
            for (qsizetype i = 1; i < outline.size(); i += 4)
                barBits += qRound64(outline.at(i).y() * 1000);
        } else if (auto *line = qobject_cast<QLineSeries *>(series)) {
            lines << line;
        }
    }
    QCOMPARE(lines.size(), 1);
    const QList<QPointF> psnr = lines.first()->points();
    QCOMPARE(psnr.size(), 20);
    for (const PictureRow &row : report.rows())
        QCOMPARE(psnr.at(row.index), QPointF(row.index, row.psnrY));
    qint64 bits = 0;
    for (const PictureRow &row : report.rows())
        bits += row.bits;
    QCOMPARE(barBits, bits);

    QString error;
    QVERIFY2(dialog.saveAs(env.filePath("plot.png"), &error), qPrintable(error));
    const QImage image(env.filePath("plot.png"));
    QVERIFY(!image.isNull() && image.width() > 400);
    QVERIFY(!dialog.saveAs(env.filePath("missing/plot.png"), &error));
    QVERIFY2(error.contains("No such file", Qt::CaseInsensitive), qPrintable(error));
    TestSupport::saveScreenshot(&dialog, QStringLiteral("report_dialog_20_pictures"));
}

QTEST_MAIN(ReportTest)
#include "tst_report.moc"
