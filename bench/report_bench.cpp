// The quality report's own work on an encoder's recorded standard output, timed alone.
//
//   report_bench OUTPUT_TXT BITSTREAM FOLDER REPEATS
//       feeds OUTPUT_TXT to the picture-line reader in the job's 64 KB chunks, works the
//       summary out against BITSTREAM and writes the report as JSON and CSV into FOLDER, the
//       best of REPEATS runs; prints "report_work_seconds S" and "report_rows N".

#include "report/encoderlinereader.h"
#include "report/qualityreport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 5) {
        std::fprintf(stderr, "usage: report_bench OUTPUT_TXT BITSTREAM FOLDER REPEATS\n");
        return 64;
    }
    QFile recorded(arguments.at(1));
    if (!recorded.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(arguments.at(1)));
        return 66;
    }
    const QByteArray output = recorded.readAll();
    const int repeats = qMax(1, arguments.at(4).toInt());

    qint64 bestNs = -1;
    qint64 rows = 0;
    for (int run = 0; run < repeats; ++run) {
        QElapsedTimer clock;
        clock.start();
        EncoderLineReader reader;
        for (qsizetype at = 0; at < output.size(); at += 64 * 1024)
            reader.feed(output.mid(at, 64 * 1024));
        reader.finish();
        QualityReport report;
        report.placeRows(0, reader.rows());
        report.summarize(arguments.at(2), 25, 100, 0);
        QString error;
        if (!report.save(arguments.at(3) + QStringLiteral("/bench_report.json"), &error)
            || !report.save(arguments.at(3) + QStringLiteral("/bench_report.csv"), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 73;
        }
        const qint64 ns = clock.nsecsElapsed();
        if (bestNs < 0 || ns < bestNs)
            bestNs = ns;
        rows = report.rowCount();
    }
    std::printf("report_work_seconds %.6f\nreport_rows %lld\n", bestNs / 1e9, static_cast<long long>(rows));
    return 0;
}
