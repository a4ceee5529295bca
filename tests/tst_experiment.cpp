// A coding experiment as users run it: morlunex-cli --experiment on a tiny plan (a video and a
// raw sequence, an anchor and a test configuration, four QPs) with the bundled encoder behind a
// wrapper that records every encode. Its BD-rates checked against --bd-rate on the same reports,
// its time ratios against the records, two processes (one under another host name) sharing it,
// a kill in the middle and a changed configuration, a failing cell, and plans refused before
// anything is written. Faults injected: a full disk (a file-size limit), two plans on one
// folder, a folder of the user's. The cells' own fate is tst_experimentcells'.

#include "support/tinyexperiment.h"

#include <QImage>

#include <cmath>
#include <functional>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using TestSupport::IsolatedEnvironment;
using namespace TinyExperiment;

class ExperimentTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tinyPlan_resultsAgreeWithBdRateAndRecords();
    void twoProcesses_oneElsewhere_encodeEveryCellOnce();
    void twoProcesses_shareTheLastCellsSegments();
    void killedMidway_resumesOnlyCellsInFlight_andAChangedConfigurationOnlyItsCells();
    void failingCell_othersFinish_andTheStatusSaysSo();
    void tables_yuvBdRate_anyReference_andASequenceThatCannotBeCompared();
    void grayscaleSequence_hasNoChromaFiguresInReportsTablesAndBdRate();
    void fullDisk_failsWithItsOwnStatus_keepingDoneCellsAndWholeFiles();
    void folderOfAnotherPlanOrTheUser_isRefused_andAnEarlierVersionsIsKept();
    void stopped_keepsFinishedCells_andTellsEveryEvent();
    void badPlan_isRefusedWithNothingWritten_data();
    void badPlan_isRefusedWithNothingWritten();

private:
    QString prepare(IsolatedEnvironment &env, const QStringList &markers = {})
    {
        return TinyExperiment::prepare(shared, env, markers);
    }

    IsolatedEnvironment shared;
    QList<QHash<QString, QString>> oneProcessResults;
};

void ExperimentTest::initTestCase()
{
    QVERIFY(shared.isValid());
    QVERIFY(makeShared(shared));
}

// The whole plan with two encoders: every cell encoded once; each BD-rate is what --bd-rate
// says of the same reports, EncT the ratio of the CPU times the records hold, and the class's
// figures the means of its two sequences; the bitstreams hold the pictures the ffmpeg tool
// finds; the sequence's own lines follow the configuration's in what the encoder got.
void ExperimentTest::tinyPlan_resultsAgreeWithBdRateAndRecords()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const TestSupport::RunResult run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.out.contains("## test against anchor"), run.out.constData());
    QCOMPARE(run.err.count("\ndone "), 16);
    const QString results = folder + "/tiny.results";
    const QHash<QString, int> counts = encodes(folder);
    QCOMPARE(counts.size(), 16);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));

    const auto rows = readCsv(results + "/results.csv");
    oneProcessResults = rows;
    double bdSum[3] = {0, 0, 0};
    double logEncT = 0;
    for (const QString &sequence : sequenceNames) {
        QStringList anchors, tests;
        double cpu[2] = {0, 0};
        for (int qp : qps) {
            anchors << QStringLiteral("%1/anchor/%2_QP%3.json").arg(results, sequence).arg(qp);
            tests << QStringLiteral("%1/test/%2_QP%3.json").arg(results, sequence).arg(qp);
            cpu[0] += readJson(QString(anchors.last()).replace(".json", ".record")).value("encoder_cpu_s").toDouble();
            cpu[1] += readJson(QString(tests.last()).replace(".json", ".record")).value("encoder_cpu_s").toDouble();
        }
        const TestSupport::RunResult bd = TestSupport::run(cliProgram(), QStringList{"--progress", "json", "--bd-rate"}
                                                                              + anchors + QStringList{"--vs"} + tests);
        QVERIFY2(bd.exitCode == 0, bd.err.constData());
        const QJsonObject figures = QJsonDocument::fromJson(bd.out).object();
        const auto row = csvRow(rows, "sequence", sequence);
        int plane = 0;
        for (const char *key : {"bd_rate_y", "bd_rate_u", "bd_rate_v"}) {
            QCOMPARE(row.value(QLatin1String(key)).toDouble(), figures.value(QLatin1String(key)).toDouble());
            bdSum[plane++] += row.value(QLatin1String(key)).toDouble();
        }
        QVERIFY(cpu[0] > 0 && cpu[1] > 0);
        QVERIFY2(std::abs(row.value("enc_t").toDouble() - cpu[1] / cpu[0]) < 1e-4, qPrintable(row.value("enc_t")));
        logEncT += std::log(cpu[1] / cpu[0]);
    }
    const auto classA = csvRow(rows, "class", "A");
    QCOMPARE(classA.value("sequences"), QString("2/2"));
    QVERIFY(std::abs(classA.value("bd_rate_y").toDouble() - bdSum[0] / 2) < 1e-3);
    QVERIFY(std::abs(classA.value("bd_rate_v").toDouble() - bdSum[2] / 2) < 1e-3);
    QVERIFY(std::abs(classA.value("enc_t").toDouble() - std::exp(logEncT / 2)) < 1e-3);

    for (const QString &configuration : configurationNames)
        for (const QString &sequence : sequenceNames) {
            const TestSupport::ProbeResult probe =
                TestSupport::probeVideo(QStringLiteral("%1/%2/%3_QP32.265").arg(results, configuration, sequence));
            QCOMPARE(probe.frames, pictures);
            QCOMPARE(probe.width, 64);
            QCOMPARE(probe.height, 64);
        }
    const QByteArray given = TestSupport::readFile(results + "/test/Raw_QP27.cfg");
    QVERIFY(given.startsWith(TestSupport::readFile(folder + "/test.cfg")));
    QVERIFY(given.contains("# the raw sequence's own line\n"));
    const QImage plot(results + "/plots/Raw.png");
    QCOMPARE(plot.size(), QSize(960, 640));
    // Nothing stays behind: no claim, no parts folder, nothing in the temporary folder.
    const QStringList left = TestSupport::everythingIn(results).filter(QRegularExpression("claim|parts"));
    QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
    QVERIFY2(TestSupport::everythingIn(env.tempPath()).isEmpty(), qPrintable(TestSupport::everythingIn(env.tempPath()).join(' ')));

    // Written again with nothing changed, the results files and plots stay as they are; a plot
    // damaged or a file gone meanwhile is made again, the same.
    const auto stampOf = [](const QString &path) {
        struct stat info {};
        ::stat(QFile::encodeName(path).constData(), &info);
        return std::make_pair(info.st_ino, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec);
    };
    const QStringList kept{"results.json", "results.csv", "plots/Clip.png", "plots/Raw.png"};
    QList<std::pair<ino_t, long long>> before;
    for (const QString &name : kept)
        before << stampOf(results + "/" + name);
    const QByteArray rawPlot = TestSupport::readFile(results + "/plots/Raw.png");
    const QByteArray table = TestSupport::readFile(results + "/results.md");
    QVERIFY(runTiny(folder).exitCode == 0);
    for (int i = 0; i < kept.size(); ++i)
        QVERIFY2(stampOf(results + "/" + kept.at(i)) == before.at(i), qPrintable(kept.at(i)));
    QVERIFY(TestSupport::writeFile(results + "/plots/Raw.png", rawPlot.left(rawPlot.size() - 100)));
    QVERIFY(QFile::remove(results + "/results.md"));
    QVERIFY(runTiny(folder).exitCode == 0);
    QCOMPARE(TestSupport::readFile(results + "/plots/Raw.png"), rawPlot);
    QCOMPARE(TestSupport::readFile(results + "/results.md"), table);
    QVERIFY(stampOf(results + "/plots/Clip.png") == before.at(2));
}

// Two processes on one experiment, one under another host name and both slowed down so that
// each gets cells: every cell is encoded exactly once, by one of them, and the results are those
// of one process alone.
void ExperimentTest::twoProcesses_oneElsewhere_encodeEveryCellOnce()
{
    if (TestSupport::run("unshare", {"--uts", "true"}).exitCode != 0)
        QSKIP("unshare --uts is not allowed here: no second host name to run under");
    if (oneProcessResults.isEmpty())
        QSKIP("needs the one-process run of the test before");
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"slow"});
    QVERIFY(!folder.isEmpty());
    QVERIFY(runHereAndElsewhere(folder, "1"));
    QSet<QString> hosts;
    const QHash<QString, int> counts = encodes(folder, &hosts);
    QCOMPARE(counts.size(), 16);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    QCOMPARE(hosts.size(), 2);
    const auto rows = readCsv(folder + "/tiny.results/results.csv");
    QCOMPARE(rows.size(), oneProcessResults.size());
    for (int i = 0; i < rows.size(); ++i)
        for (const char *key : {"row", "sequence", "qp", "bd_rate_y", "bd_rate_u", "bd_rate_v", "rate_kbps", "psnr_y"})
            QCOMPARE(rows.at(i).value(QLatin1String(key)), oneProcessResults.at(i).value(QLatin1String(key)));
    QVERIFY(!QFileInfo::exists(folder + "/tiny.results/results.claim"));
}

// Longer sequences, so that the last cells run in segments, and two processes (one under another
// host name) with two encoders each: whichever has encoders free takes free segments of the
// other's last cells, and still every cell and every segment is encoded exactly once.
void ExperimentTest::twoProcesses_shareTheLastCellsSegments()
{
    if (TestSupport::run("unshare", {"--uts", "true"}).exitCode != 0)
        QSKIP("unshare --uts is not allowed here: no second host name to run under");
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"slow"});
    QVERIFY(!folder.isEmpty());
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:rate=25", "-frames:v", "320", "-pix_fmt",
                                 "yuv420p", "-f", "rawvideo", folder + "/raw_64x64.yuv"}));
    QJsonObject plan = readJson(folder + "/tiny.json");
    plan.insert("sequences", QJsonArray{plan.value("sequences").toArray().at(1)});
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    QVERIFY(runHereAndElsewhere(folder, "2"));
    const QHash<QString, int> counts = encodes(folder);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    QStringList segments = counts.keys().filter(".parts/part_");
    QVERIFY2(!segments.isEmpty(), qPrintable(counts.keys().join(' ')));
    QCOMPARE(doneRecords(folder + "/tiny.results"), 8);
    for (const QString &configuration : configurationNames)
        for (int qp : qps)
            QCOMPARE(TestSupport::probeVideo(QStringLiteral("%1/tiny.results/%2/Raw_QP%3.265").arg(folder, configuration).arg(qp)).frames, 320);
}

// Killed outright with cells in flight: the same command encodes exactly the cells without a
// record, and no encoder outlives the kill. Then a changed test configuration redoes its cells
// only, saying why.
void ExperimentTest::killedMidway_resumesOnlyCellsInFlight_andAChangedConfigurationOnlyItsCells()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"slow"});
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    QProcess cli;
    QVERIFY(startUntilDone(&cli, folder, {"-q"}, 5));
    ::kill(pid_t(cli.processId()), SIGKILL);
    QVERIFY(cli.waitForFinished(10000));
    QVERIFY(QTest::qWaitFor([&] { return TestSupport::processesMentioning(results).isEmpty(); }, 5000));
    const int kept = doneRecords(results);
    QVERIFY(kept >= 5 && kept < 16);
    QFile::remove(folder + "/slow");
    QFile::remove(folder + "/runs.txt");

    TestSupport::RunResult run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("(%1 done already)").arg(kept).toUtf8()), run.err.constData());
    QCOMPARE(encodes(folder).size(), 16 - kept);
    QCOMPARE(doneRecords(results), 16);

    QFile::remove(folder + "/runs.txt");
    QVERIFY(TestSupport::writeFile(folder + "/test.cfg", TestSupport::readFile(folder + "/test.cfg") + "# said again\n"));
    run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("Clip QP22 test is encoded again: the configuration's contents have changed since."),
             run.err.constData());
    const QHash<QString, int> redone = encodes(folder);
    QCOMPARE(redone.size(), 8);
    for (auto it = redone.cbegin(); it != redone.cend(); ++it)
        QVERIFY2(it.key().startsWith("tiny.results/test/"), qPrintable(it.key()));
}

// One cell's encoder fails: the other fifteen are done, the failure is recorded with the code
// and the encoder's last lines, the table and the exit status say so; the same command later
// tries that cell again.
void ExperimentTest::failingCell_othersFinish_andTheStatusSaysSo()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"fail"});
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    TestSupport::RunResult run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 1, run.err.constData());
    QVERIFY2(run.err.contains("Raw QP27 test failed: the encoder exited with code 3"), run.err.constData());
    QVERIFY2(run.out.contains("- Raw QP27 test: the encoder exited with code 3"), run.out.constData());
    QCOMPARE(doneRecords(results), 15);
    const QJsonObject failure = readJson(results + "/test/Raw_QP27.record").value("failure").toObject();
    QCOMPARE(failure.value("exit_code").toInt(), 3);
    QVERIFY(failure.value("last_lines").toArray().contains(QJsonValue("bad cell")));
    const auto rows = readCsv(results + "/results.csv");
    QCOMPARE(csvRow(rows, "sequence", "Raw").value("cells_failed"), QString("1"));
    QVERIFY(csvRow(rows, "sequence", "Raw").value("bd_rate_y").isEmpty());
    QVERIFY(!csvRow(rows, "sequence", "Clip").value("bd_rate_y").isEmpty());
    QVERIFY(TestSupport::readFile(results + "/results.md").contains("| A | Raw | n/a: QP27 test failed |"));
    // The failed sequence is out of the class's times as of its BD-rates.
    QCOMPARE(csvRow(rows, "class", "A").value("sequences"), QString("1/2"));
    QCOMPARE(csvRow(rows, "class", "A").value("enc_t"), csvRow(rows, "sequence", "Clip").value("enc_t"));

    QFile::remove(folder + "/fail");
    QFile::remove(folder + "/runs.txt");
    run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QStringList again = encodes(folder).keys();
    QVERIFY2(again.size() == 1 && again.first().startsWith("tiny.results/test/Raw_QP27.265"), qPrintable(again.join(' ')));
}

// One encode of the tiny plan with a third configuration (a bar in its name, which the Markdown
// tables must escape) and the planes weighted 14:1:1, then its tables. The YUV BD-rate is --bd-rate's on the same reports with the same weights, and
// --bd-rate's Y figure on copies of the reports whose PSNR-Y the test replaced by its own
// weighted mean of the planes. --anchor test writes results_vs_test.* with the figures that
// moving the plan's anchor to "test" gives, leaving results.* against the plan's anchor. A report
// changed so that the test's curve falls makes that sequence n/a, naming the curve and its two
// points, and takes it out of the averages of its class and of the whole test, times included.
void ExperimentTest::tables_yuvBdRate_anyReference_andASequenceThatCannotBeCompared()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    QVERIFY(TestSupport::writeFile(folder + "/third.cfg",
                                   TestSupport::readFile(folder + "/anchor.cfg") + "MlxX265Params : rd=2\n"));
    QJsonObject plan = basePlan(folder + "/wrapper.sh");
    QJsonArray configurations = plan.value("configurations").toArray();
    configurations << QJsonObject{{"name", "third|rd2"}, {"encoder", folder + "/wrapper.sh"}, {"cfg", "third.cfg"}};
    plan["configurations"] = configurations;
    plan["yuv_weights"] = QJsonArray{14, 1, 1};
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QString results = folder + "/tiny.results";
    QVERIFY2(run.out.contains("| BD-rate YUV (14:1:1) |"), run.out.constData());

    const auto rows = readCsv(results + "/results.csv");
    const auto weighted = [](QJsonObject report) {
        QJsonObject summary = report.value("summary").toObject();
        summary["psnr_y"] = (14 * summary.value("psnr_y").toDouble() + summary.value("psnr_u").toDouble()
                             + summary.value("psnr_v").toDouble()) / 16;
        report["summary"] = summary;
        return report;
    };
    for (const QString &sequence : sequenceNames) {
        const double yuv = comparisonRow(rows, "sequence", "test", sequence).value("bd_rate_yuv").toDouble();
        const QJsonObject bd = bdRateOf(results, sequence, "anchor", "test", {"--yuv-weights", "14:1:1"});
        QCOMPARE(bd.value("yuv_weights").toArray(), (QJsonArray{14, 1, 1}));
        QVERIFY2(std::abs(bd.value("bd_rate_yuv").toDouble() - yuv) < 2e-4, qPrintable(sequence));
        const QJsonObject mine = bdRateOf(results, sequence, "anchor", "test", {}, weighted, env.filePath("mine"));
        QVERIFY2(std::abs(mine.value("bd_rate_y").toDouble() - yuv) < 2e-4, qPrintable(sequence));
    }

    // Against "test": files of their own, and the plan's results keep the plan's anchor.
    run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "--results", "--anchor", "test", "-q"}, 60000,
                           folder);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(run.out.startsWith("## anchor against test\n") && run.out.contains("## third|rd2 against test\n"),
             run.out.constData());
    QCOMPARE(readJson(results + "/results.json").value("anchor").toString(), QString("anchor"));
    QCOMPARE(readJson(results + "/results_vs_test.json").value("anchor").toString(), QString("test"));
    QCOMPARE(readCsv(results + "/results.csv"), rows);
    const auto versus = readCsv(results + "/results_vs_test.csv");
    run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "--results", "--anchor", "nobody"}, 60000, folder);
    QCOMPARE(run.exitCode, 64);
    QVERIFY2(run.err.contains("--anchor nobody is none of the plan's configurations (anchor, test, third|rd2)"),
             run.err.constData());
    // The same figures with the plan's anchor moved to "test".
    QJsonArray moved = configurations;
    moved[0] = QJsonObject{{"name", "anchor"}, {"encoder", folder + "/wrapper.sh"}, {"cfg", "anchor.cfg"}};
    moved[1] = QJsonObject{{"name", "test"}, {"anchor", true}, {"encoder", folder + "/wrapper.sh"}, {"cfg", "test.cfg"}};
    plan["configurations"] = moved;
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "--results", "-q"}, 60000, folder);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(readCsv(results + "/results.csv"), versus);
    QVERIFY(!comparisonRow(versus, "overall", "anchor", "").value("bd_rate_yuv").isEmpty());

    // test's Raw QP32 a little below its QP37: the test's PSNR-Y falls between them.
    plan["configurations"] = configurations;
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    const QString changed = results + "/test/Raw_QP32.json";
    QJsonObject report = readJson(changed);
    QJsonObject summary = report.value("summary").toObject();
    summary["psnr_y"] = readJson(results + "/test/Raw_QP37.json").value("summary").toObject().value("psnr_y").toDouble() - 0.5;
    report["summary"] = summary;
    QVERIFY(TestSupport::writeFile(changed, QJsonDocument(report).toJson()));
    // Its record as an earlier version wrote it, without the report's digest: the report counts
    // as it is.
    QJsonObject record = readJson(results + "/test/Raw_QP32.record");
    record.remove("report_digest");
    QVERIFY(TestSupport::writeFile(results + "/test/Raw_QP32.record", QJsonDocument(record).toJson()));
    run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "--results", "-q"}, 60000, folder);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const auto after = readCsv(results + "/results.csv");
    const auto raw = comparisonRow(after, "sequence", "test", "Raw");
    QVERIFY2(raw.value("note").startsWith("n/a: test's PSNR-Y does not rise with its rate between QP37 (")
                 && raw.value("note").contains(" and QP32 ("), qPrintable(raw.value("note")));
    for (const char *figure : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_rate_yuv", "enc_t", "dec_t"})
        QVERIFY2(raw.value(QLatin1String(figure)).isEmpty(), figure);
    QVERIFY(TestSupport::readFile(results + "/results.md").contains("| A | Raw | n/a: test's PSNR-Y does not rise"));
    const auto clip = comparisonRow(after, "sequence", "test", "Clip");
    for (const char *kind : {"class", "overall"}) {
        const auto mean = comparisonRow(after, QLatin1String(kind), "test", kind == QLatin1String("class") ? "A" : "");
        QCOMPARE(mean.value("sequences"), QString("1/2"));
        for (const char *figure : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_rate_yuv", "enc_t"})
            QCOMPARE(mean.value(QLatin1String(figure)), clip.value(QLatin1String(figure)));
    }
    // The third configuration's curves are whole: it is compared over both sequences.
    QCOMPARE(comparisonRow(after, "overall", "third|rd2", "").value("sequences"), QString("2/2"));
    QVERIFY(TestSupport::readFile(results + "/results.md").contains("\n| Clip | third\\|rd2 | 22 | "));
}

// A 4:0:0 sequence beside a 4:2:0 one: its reports hold null for U and V and a PSNR-YUV that is
// Y's; its row of the tables has BD-rates for Y and YUV (the same) and none for U and V, with no
// note, as --bd-rate says of its reports, also of reports that hold the zeros an earlier version
// wrote; the averages over both sequences have Y and YUV, and no U and V.
void ExperimentTest::grayscaleSequence_hasNoChromaFiguresInReportsTablesAndBdRate()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-pix_fmt", "gray", "-f", "rawvideo",
                                 folder + "/gray_64x64.yuv"}));
    QJsonObject plan = basePlan(folder + "/wrapper.sh");
    QJsonArray sequences = plan.value("sequences").toArray();
    sequences[0] = QJsonObject{{"name", "Gray"}, {"path", "gray_64x64.yuv"}, {"size", "64x64"}, {"fps", 25},
                               {"class", "A"}, {"cfg", QJsonArray{"InputChromaFormat : 400"}}};
    plan["sequences"] = sequences;
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    const TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QString results = folder + "/tiny.results";

    for (int qp : qps) {
        const QJsonObject summary =
            readJson(QStringLiteral("%1/test/Gray_QP%2.json").arg(results).arg(qp)).value("summary").toObject();
        QVERIFY(summary.value("psnr_u").isNull() && summary.value("psnr_v").isNull());
        QVERIFY(summary.value("psnr_y").toDouble() > 20);
        QCOMPARE(summary.value("psnr_yuv").toDouble(), summary.value("psnr_y").toDouble());
    }
    for (const QJsonValue &value : readJson(results + "/results.json").value("cells").toArray()) {
        const QJsonObject cell = value.toObject();
        QCOMPARE(cell.value("psnr_u").isNull(), cell.value("sequence").toString() == "Gray");
    }
    const auto rows = readCsv(results + "/results.csv");
    const auto gray = comparisonRow(rows, "sequence", "test", "Gray");
    QVERIFY2(gray.value("note").isEmpty(), qPrintable(gray.value("note")));
    QVERIFY(!gray.value("bd_rate_y").isEmpty() && !gray.value("enc_t").isEmpty());
    QVERIFY(gray.value("bd_rate_u").isEmpty() && gray.value("bd_rate_v").isEmpty());
    QCOMPARE(gray.value("bd_rate_yuv"), gray.value("bd_rate_y"));
    const auto overall = comparisonRow(rows, "overall", "test", "");
    QCOMPARE(overall.value("sequences"), QString("2/2"));
    QVERIFY(!overall.value("bd_rate_y").isEmpty() && !overall.value("bd_rate_yuv").isEmpty());
    QVERIFY(overall.value("bd_rate_u").isEmpty() && overall.value("bd_rate_v").isEmpty());

    const QJsonObject bd = bdRateOf(results, "Gray", "anchor", "test");
    QVERIFY2(std::abs(bd.value("bd_rate_y").toDouble() - gray.value("bd_rate_y").toDouble()) < 2e-4,
             QJsonDocument(bd).toJson().constData());
    QCOMPARE(bd.value("bd_rate_yuv").toDouble(), bd.value("bd_rate_y").toDouble());
    QVERIFY(bd.value("bd_rate_u").isNull() && bd.value("bd_rate_v").isNull());
    // An earlier version wrote 0 for the missing planes, and (6 Y + 0 + 0) / 8 for YUV.
    const auto zeros = [](QJsonObject report) {
        QJsonObject summary = report.value("summary").toObject();
        summary["psnr_u"] = 0;
        summary["psnr_v"] = 0;
        summary["psnr_yuv"] = summary.value("psnr_y").toDouble() * 6 / 8;
        report["summary"] = summary;
        QJsonArray rows = report.value("pictures").toArray();
        for (QJsonValueRef row : rows) {
            QJsonObject picture = row.toObject();
            picture["psnr_u"] = 0;
            picture["psnr_v"] = 0;
            row = picture;
        }
        report["pictures"] = rows;
        return report;
    };
    QVERIFY(QDir().mkpath(env.filePath("old")));
    const QJsonObject old = bdRateOf(results, "Gray", "anchor", "test", {}, zeros, env.filePath("old"));
    for (const char *key : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_rate_yuv", "bd_psnr_y"})
        QCOMPARE(old.value(QLatin1String(key)), bd.value(QLatin1String(key)));
}

// A disk that fills up (a file-size limit for the program and its encoders): first a plot, then
// a cell's configuration cannot be written. Each ends the experiment with 74, naming the file and
// the reason, every done cell kept and no file cut short; the same command with room goes on
// from there.
void ExperimentTest::fullDisk_failsWithItsOwnStatus_keepingDoneCellsAndWholeFiles()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    // The raw sequence's configuration, and so its cells' files, larger than the clip's.
    constexpr int padding = 6000;
    QJsonObject plan = readJson(folder + "/tiny.json");
    QJsonArray sequences = plan.value("sequences").toArray();
    QJsonObject raw = sequences.at(1).toObject();
    raw.insert("cfg", QJsonArray{"# " + QString(padding, QLatin1Char('x'))});
    sequences[1] = raw;
    plan.insert("sequences", sequences);
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    const qint64 configuration = qMax(TestSupport::readFile(folder + "/anchor.cfg").size(),
                                      TestSupport::readFile(folder + "/test.cfg").size());
    const QStringList oneEncoder{"--experiment", "tiny.json", "-j", "1"};
    const auto runWithin = [&](qint64 bytes) {
        TestSupport::FileSizeLimit limit{rlim_t(bytes)};
        return TestSupport::run(cliProgram(), oneEncoder, 120000, folder);
    };

    // Room for every file of the clip's cells, one after another, but not for its plot.
    TestSupport::RunResult run = runWithin(configuration + padding + 4000);
    QVERIFY2(run.finished && run.exitCode == 74, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("cannot write %1/plots/Clip.png: File too large").arg(results).toUtf8()),
             run.err.constData());
    QVERIFY2(run.err.endsWith("8 of 16 cells are done and kept: make room and run the same command again\n"),
             run.err.constData());
    QCOMPARE(doneRecords(results), 8);
    QCOMPARE(readJson(results + "/results.json").value("cells_done").toInt(), 8);
    QVERIFY(!QFileInfo::exists(results + "/plots/Clip.png"));

    // Room no longer for the raw sequence's configuration: its first cell cannot be written.
    run = runWithin(configuration + padding / 2);
    QVERIFY2(run.finished && run.exitCode == 74, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("cannot write its configuration %1/anchor/Raw_QP22.cfg: File too large")
                                  .arg(results).toUtf8()), run.err.constData());
    QCOMPARE(doneRecords(results), 8);
    // Every file there is one the experiment names, none cut short under its name or left
    // under a temporary one.
    const QRegularExpression named("^(experiment\\.record|results\\.(csv|json|md|served)|anchor|test|plots|"
                                   "(anchor|test)/Clip_QP[0-9]+\\.(265|json|record|log|cfg))$");
    for (const QString &entry : TestSupport::everythingIn(results))
        QVERIFY2(named.match(entry).hasMatch(), qPrintable(entry));

    QFile::remove(folder + "/runs.txt");
    run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("(8 done already)"), run.err.constData());
    const QSet<QString> again = cellsOf(encodes(folder));
    QCOMPARE(again.size(), 8);
    for (const QString &cell : again)
        QVERIFY2(cell.contains("/Raw_QP"), qPrintable(cell));
    QCOMPARE(doneRecords(results), 16);
    QCOMPARE(QImage(results + "/plots/Clip.png").size(), QSize(960, 640));
}

// Two plans on one folder, started together: one takes the folder, the other is refused at once
// (73, naming the first) and encodes nothing. A folder holding the user's own files is refused,
// naming them, and left as it was. A folder an earlier version made for the plan (no record of
// its plan, cell records without picture counts) is the plan's: every cell is kept.
void ExperimentTest::folderOfAnotherPlanOrTheUser_isRefused_andAnEarlierVersionsIsKept()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    QJsonObject plan = readJson(folder + "/tiny.json");
    plan.insert("folder", "shared.results");
    QVERIFY(writePlan(folder + "/one.json", plan));
    plan.insert("qps", QJsonArray{22, 27, 32, 38});
    QVERIFY(writePlan(folder + "/two.json", plan));
    QProcess one, two;
    for (QProcess *process : {&one, &two}) {
        process->setWorkingDirectory(folder);
        process->start(cliProgram(), {"--experiment", process == &one ? "one.json" : "two.json", "-j", "2", "-q"});
    }
    // Taken before either has ended: a finished process has no number.
    const bool started = one.waitForStarted(10000);
    const qint64 pids[2] = {one.processId(), two.waitForStarted(10000) ? two.processId() : 0};
    QVERIFY(started && pids[1] != 0);
    QVERIFY(endsWithin(&one, 120000) && endsWithin(&two, 120000));
    const bool oneTook = one.exitCode() == 0;
    QProcess &taker = oneTook ? one : two, &refused = oneTook ? two : one;
    QVERIFY2(taker.exitCode() == 0, taker.readAllStandardError().constData());
    const QByteArray said = refused.readAllStandardError();
    QVERIFY2(refused.exitCode() == 73, said.constData());
    const QString owner = QFileInfo(folder + (oneTook ? "/one.json" : "/two.json")).canonicalFilePath();
    QVERIFY2(said.contains(QStringLiteral("holds the experiment of another plan, %1").arg(owner).toUtf8()), said.constData());
    // Not one encoder of the refused plan's.
    QVERIFY(!TestSupport::readFile(folder + "/parents.txt").split('\n').contains(QByteArray::number(pids[oneTook ? 1 : 0])));
    const QSet<QString> cells = cellsOf(encodes(folder));
    QCOMPARE(cells.size(), 16);
    QCOMPARE(cells.contains("shared.results/test/Raw_QP38"), !oneTook);
    QCOMPARE(readJson(folder + "/shared.results/results.json").value("cells_done").toInt(), 16);

    // The user's own folder.
    plan.insert("folder", "mine");
    QVERIFY(writePlan(folder + "/mine.json", plan));
    QStringList names{"results.md", "plots/Clip.png", "anchor/Clip_QP27.json"};
    for (const QString &name : names)
        QVERIFY(TestSupport::writeFile(folder + "/mine/" + name, "the user's " + name.toUtf8()));
    TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "mine.json"}, 30000, folder);
    QVERIFY2(run.finished && run.exitCode == 73, run.err.constData());
    QVERIFY2(run.err.contains("holds files this experiment did not make (anchor/Clip_QP27.json, plots/Clip.png, results.md)"),
             run.err.constData());
    QCOMPARE(TestSupport::everythingIn(folder + "/mine"), (QStringList{"anchor", "anchor/Clip_QP27.json", "plots",
                                                                       "plots/Clip.png", "results.md"}));
    for (const QString &name : names)
        QCOMPARE(TestSupport::readFile(folder + "/mine/" + name), "the user's " + name.toUtf8());

    // The folder as an earlier version left it.
    const QString shared = folder + "/shared.results";
    QVERIFY(QFile::remove(shared + "/experiment.record"));
    for (const QString &configuration : configurationNames)
        for (const QString &name : QDir(shared + "/" + configuration).entryList({"*.record"}, QDir::Files)) {
            const QString path = shared + "/" + configuration + "/" + name;
            QJsonObject record = readJson(path);
            QVERIFY(record.contains("pictures"));
            record.remove("pictures");
            QVERIFY(TestSupport::writeFile(path, QJsonDocument(record).toJson()));
        }
    QFile::remove(folder + "/runs.txt");
    run = TestSupport::run(cliProgram(), {"--experiment", oneTook ? "one.json" : "two.json"}, 60000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("(16 done already)"), run.err.constData());
    QVERIFY(encodes(folder).isEmpty());
    QCOMPARE(readJson(shared + "/experiment.record").value("plan").toString(), owner);

    // A sequence renamed in the plan: its old plot goes with the next results.
    QVERIFY(QFileInfo::exists(shared + "/plots/Raw.png"));
    QJsonObject renamed = readJson(owner);
    QJsonArray sequences = renamed.value("sequences").toArray();
    QJsonObject raw = sequences.at(1).toObject();
    raw.insert("name", "Raw2");
    sequences[1] = raw;
    renamed.insert("sequences", sequences);
    QVERIFY(writePlan(owner, renamed));
    run = TestSupport::run(cliProgram(), {"--experiment", owner, "--results", "-q"}, 30000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(TestSupport::everythingIn(shared + "/plots"), QStringList{"Clip.png"});
}

// Stopped by SIGTERM: every finished cell is kept, no encoder stays, the results say which
// cells are missing; --progress json told each cell as it was done. The same command goes on.
void ExperimentTest::stopped_keepsFinishedCells_andTellsEveryEvent()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"slow"});
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    QProcess cli;
    QVERIFY(startUntilDone(&cli, folder, {"--progress", "json"}, 3));
    ::kill(pid_t(cli.processId()), SIGTERM);
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), 128 + SIGTERM);
    QVERIFY(TestSupport::processesMentioning(results).isEmpty());
    const int kept = doneRecords(results);
    QVERIFY(kept >= 3 && kept < 16);
    const QByteArray err = cli.readAllStandardError();
    const QList<QJsonObject> events = jsonEvents(err);
    // A failure's last line is the program's own, as with every run.
    QVERIFY2(err.endsWith("run the same command again to go on\n"), err.constData());
    QVERIFY(!events.isEmpty());
    QCOMPARE(std::count_if(events.begin(), events.end(), [](const QJsonObject &e) { return e.value("event") == "done"; }), kept);
    QCOMPARE(events.last().value("event").toString(), QString("final"));
    QCOMPARE(events.last().value("status").toInt(), 128 + SIGTERM);
    QCOMPARE(events.last().value("done").toInt(), kept);
    const QJsonObject summary = readJson(results + "/results.json");
    QCOMPARE(summary.value("cells_done").toInt(), kept);
    const QStringList claims = TestSupport::everythingIn(results).filter(".claim");
    QVERIFY2(claims.isEmpty(), qPrintable(claims.join(' ')));

    // Quiet: no message, but the table, which is the result.
    QFile::remove(folder + "/slow");
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-q"}, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0 && run.err.isEmpty(), run.err.constData());
    QVERIFY2(run.out.startsWith("## test against anchor\n") && run.out.contains("| **Overall** | 2 of 2 sequences |"),
             run.out.constData());
    QCOMPARE(doneRecords(results), 16);
}

void ExperimentTest::badPlan_isRefusedWithNothingWritten_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("told");
    const QString raw = QStringLiteral("sequences[1] \"Raw\": ");
    QTest::newRow("unknown key") << "top:sequence" << 64 << QStringList{"unknown key \"sequence\""};
    QTest::newRow("unknown key of a sequence") << "sequence:frame" << 64 << QStringList{raw + "unknown key \"frame\""};
    QTest::newRow("no sequence") << "sequences:none" << 64
                                 << QStringList{"sequences: a list of one or more sequences is wanted, not an empty list"};
    QTest::newRow("no anchor") << "anchor:none" << 64 << QStringList{"no configuration has \"anchor\": true"};
    QTest::newRow("two anchors") << "anchor:two" << 64
                                 << QStringList{"\"anchor\" and \"test\" are both anchors; a plan has exactly one anchor"};
    QTest::newRow("a name twice") << "name:twice" << 64 << QStringList{"sequences[1]: the name \"Clip\" is also sequences[0]'s"};
    QTest::newRow("a missing sequence") << "path:missing" << 66 << QStringList{raw + "cannot read the path"};
    QTest::newRow("a named pipe as a sequence") << "path:fifo" << 66
                                                << QStringList{raw + "cannot read the path", "it is a named pipe, not a regular file"};
    QTest::newRow("a device as a sequence") << "path:device" << 66
                                            << QStringList{raw + "cannot read the path /dev/zero: it is a device"};
    QTest::newRow("a raw size that makes no picture") << "raw:huge" << 64
        << QStringList{raw + "the raw file", "holds no whole picture of \"size\" 99999x99999"};
    QTest::newRow("a missing configuration") << "cfg:missing" << 66 << QStringList{"configurations[1] \"test\": cannot read the cfg"};
    QTest::newRow("a missing encoder") << "encoder:missing" << 69 << QStringList{"the encoder"};
    QTest::newRow("a QP that is no number") << "qp:text" << 64 << QStringList{"qps[2]: \"32a\" is not a QP"};
    QTest::newRow("three QPs") << "qp:three" << 64 << QStringList{"3 QPs given; BD-rate needs at least 4"};
    QTest::newRow("a raw file without its size") << "raw:nosize" << 64 << QStringList{"a raw .yuv file needs \"size\""};
    QTest::newRow("weights of two planes") << "weights:two" << 64 << QStringList{"yuv_weights: the weights of Y, U and V"};
    QTest::newRow("a video whose pictures cannot be counted for a configuration without FramesToBeEncoded")
        << "count:none" << 64
        << QStringList{"sequences[0] \"Clip\": configurations[1] \"test\" lacks FramesToBeEncoded, and the pictures of"};
    QTest::newRow("a missing cells folder") << "cells:missing" << 66
                                            << QStringList{"configurations[1] \"test\": the cells folder", "is not there"};
    QTest::newRow("weights as strings") << "weights:strings" << 64
                                        << QStringList{"[6, 1, 1], its entry 0 is \"6\", not a number"};
    QTest::newRow("four weights") << "weights:four" << 64 << QStringList{"[6, 1, 1], not a list of 4 entries"};
    QTest::newRow("a named pipe as the cells folder") << "cells:fifo" << 66
                                                      << QStringList{"it is a named pipe, not a folder"};
    QTest::newRow("a broken link as the cells folder") << "cells:link" << 66
                                                       << QStringList{"earlier.results/test: it is a link to", "which is not there"};
}

// Each refusal names the key and the entry, ends with its status at once (a named pipe is not
// waited on) and leaves the folder as it was.
void ExperimentTest::badPlan_isRefusedWithNothingWritten()
{
    QFETCH(QString, change);
    QFETCH(int, status);
    QFETCH(QStringList, told);
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    QJsonObject plan = readJson(folder + "/tiny.json");
    QJsonArray sequences = plan.value("sequences").toArray();
    QJsonArray configurations = plan.value("configurations").toArray();
    QJsonObject raw = sequences.at(1).toObject();
    QJsonObject test = configurations.at(1).toObject();
    if (change == "top:sequence")
        plan.insert("sequence", sequences);
    else if (change == "sequence:frame")
        raw.insert("frame", 8);
    else if (change == "anchor:none")
        configurations[0] = QJsonObject{{"name", "anchor"}, {"encoder", test.value("encoder")}, {"cfg", "anchor.cfg"}};
    else if (change == "anchor:two")
        test.insert("anchor", true);
    else if (change == "name:twice")
        raw.insert("name", "Clip");
    else if (change == "path:missing")
        raw.insert("path", "gone.yuv");
    else if (change == "path:fifo")
        raw.insert("path", "pipe.yuv");
    else if (change == "path:device")
        raw = QJsonObject{{"name", "Raw"}, {"path", "/dev/zero"}};
    else if (change == "raw:huge")
        raw.insert("size", "99999x99999");
    else if (change == "cfg:missing")
        test.insert("cfg", "gone.cfg");
    else if (change == "encoder:missing")
        test.insert("encoder", folder + "/gone.sh");
    else if (change == "qp:text")
        plan.insert("qps", QJsonArray{22, 27, "32a", 37});
    else if (change == "qp:three")
        plan.insert("qps", QJsonArray{22, 27, 32});
    else if (change == "raw:nosize")
        raw.remove("size");
    else if (change == "weights:two")
        plan.insert("yuv_weights", QJsonArray{6, 1});
    else if (change == "weights:strings")
        plan.insert("yuv_weights", QJsonArray{"6", "1", "1"});
    else if (change == "weights:four")
        plan.insert("yuv_weights", QJsonArray{6, 1, 1, 1});
    else if (change.startsWith("cells:"))
        test.insert("cells", "earlier.results/test");
    else if (change == "count:none") {
        QVERIFY(TestSupport::writeFile(folder + "/bare.cfg", "MlxPreset : ultrafast\n"));
        test.insert("cfg", "bare.cfg");
        sequences[0] = QJsonObject{{"name", "Clip"}, {"path", "anchor.cfg"}};
    }
    sequences[1] = raw;
    configurations[1] = test;
    plan.insert("sequences", change == "sequences:none" ? QJsonArray() : sequences);
    plan.insert("configurations", configurations);
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    QVERIFY(change != "path:fifo" || ::mkfifo(QFile::encodeName(folder + "/pipe.yuv").constData(), 0600) == 0);
    if (change == "cells:fifo" || change == "cells:link") {
        QVERIFY(QDir(folder).mkpath("earlier.results"));
        const QByteArray cells = QFile::encodeName(folder + "/earlier.results/test");
        QVERIFY(change == "cells:fifo" ? ::mkfifo(cells.constData(), 0600) == 0 : ::symlink("gone", cells.constData()) == 0);
    }
    const QStringList before = TestSupport::everythingIn(folder);
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 30000, folder);
    QVERIFY2(run.finished && run.exitCode == status, run.err.constData());
    QVERIFY2(run.err.startsWith("morlunex-cli: tiny.json: "), run.err.constData());
    for (const QString &part : told)
        QVERIFY2(run.err.contains(part.toUtf8()), run.err.constData());
    QCOMPARE(TestSupport::everythingIn(folder), before);
}

QTEST_GUILESS_MAIN(ExperimentTest)
#include "tst_experiment.moc"
