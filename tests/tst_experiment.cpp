// A coding experiment as users run it: morlunex-cli --experiment on a tiny plan (a video and a
// raw sequence, an anchor and a test configuration, four QPs) with the bundled encoder behind a
// wrapper that records every encode. Its BD-rates checked against --bd-rate on the same reports,
// its time ratios against the records, two processes (one under another host name) sharing it,
// a kill in the middle and a changed configuration, a failing cell, the reference encoder and
// decoder checking every picture hash, and plans refused before anything is written. Faults
// injected: a full disk (a file-size limit), two plans on one folder, a folder of the user's, an
// encoder that drops a picture, a decoder that decodes part, damaged reports.

#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <cmath>
#include <functional>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int pictures = 16;
const QStringList sequenceNames{"Clip", "Raw"};
const QStringList configurationNames{"anchor", "test"};
const QList<int> qps{22, 27, 32, 37};

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// The bundled encoder behind a wrapper that records the bitstream of every run ("host path") and
// the process that started it (parents.txt), waits a little when asked (a file "slow"), fails
// the test configuration's Raw QP27 cell while a file "fail" is there, and while a file "cut" is
// there drops the last access unit of the test configuration's Clip QP27 bitstream (with the
// ffmpeg tool), exiting 0.
QByteArray wrapperScript()
{
    const QByteArray encoder = "\"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\"";
    return "#!/bin/sh\n"
           "dir=$(dirname \"$0\")\n"
           "for a in \"$@\"; do case $a in *.265*) echo \"$(hostname) $a\" >> \"$dir/runs.txt\";; esac; done\n"
           "echo \"$PPID\" >> \"$dir/parents.txt\"\n"
           "[ -f \"$dir/slow\" ] && sleep 0.3\n"
           "case \"$*\" in *test/Raw_QP27*) [ -f \"$dir/fail\" ] && { echo 'bad cell'; exit 3; };; esac\n"
           "case \"$*\" in *test/Clip_QP27*) if [ -f \"$dir/cut\" ]; then\n"
           "  " + encoder + " \"$@\" || exit $?\n"
           "  for a in \"$@\"; do [ \"$previous\" = -b ] && out=$a; previous=$a; done\n"
           "  ffmpeg -v error -y -i \"$out\" -c copy -frames:v 15 -f hevc \"$out.cut\" && mv \"$out.cut\" \"$out\"\n"
           "  exit $?\n"
           "fi;; esac\n"
           "exec " + encoder + " \"$@\"\n";
}

QJsonObject basePlan(const QString &encoder)
{
    const QJsonArray sequences{
        QJsonObject{{"name", "Clip"}, {"path", "clip.mp4"}, {"class", "A"}},
        QJsonObject{{"name", "Raw"}, {"path", "raw_64x64.yuv"}, {"size", "64x64"}, {"fps", 25}, {"class", "A"},
                    {"cfg", QJsonArray{"# the raw sequence's own line"}}}};
    const QJsonArray configurations{
        QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", encoder}, {"cfg", "anchor.cfg"}},
        QJsonObject{{"name", "test"}, {"encoder", encoder}, {"cfg", "test.cfg"}}};
    return QJsonObject{{"sequences", sequences}, {"configurations", configurations}, {"qps", QJsonArray{22, 27, 32, 37}}};
}

bool writePlan(const QString &path, const QJsonObject &plan)
{
    return TestSupport::writeFile(path, QJsonDocument(plan).toJson());
}

// results.csv as rows of named fields.
QList<QHash<QString, QString>> readCsv(const QString &path)
{
    QList<QHash<QString, QString>> rows;
    const QList<QByteArray> lines = TestSupport::readFile(path).split('\n');
    const QStringList header = QString::fromUtf8(lines.value(0)).split(QLatin1Char(','));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        // Only the last field, the note, may hold a comma (and is then quoted).
        QStringList fields = QString::fromUtf8(lines.at(i)).split(QLatin1Char(','));
        const QStringList rest = fields.mid(header.size() - 1);
        fields = fields.mid(0, header.size() - 1) << rest.join(QLatin1Char(','));
        if (fields.last().startsWith(QLatin1Char('"')))
            fields.last() = fields.last().mid(1, fields.last().size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
        QHash<QString, QString> row;
        for (int f = 0; f < header.size(); ++f)
            row.insert(header.at(f), fields.value(f));
        rows << row;
    }
    return rows;
}

QHash<QString, QString> csvRow(const QList<QHash<QString, QString>> &rows, const QString &kind, const QString &name)
{
    for (const auto &row : rows)
        if (row.value("row") == kind && (row.value("sequence") == name || row.value("class") == name || name.isEmpty()))
            return row;
    return {};
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readFile(path)).object();
}

// How often each bitstream was encoded, by the runs the wrapper recorded: a cell's bitstream,
// or one of its segments (the process's own suffix dropped), by its path in the folder.
QHash<QString, int> encodes(const QString &folder, QSet<QString> *hosts = nullptr)
{
    QHash<QString, int> counts;
    static const QRegularExpression partial(QStringLiteral("\\.[^./]+\\.[0-9]+\\.partial$"));
    for (const QByteArray &line : TestSupport::readFile(folder + "/runs.txt").split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.isEmpty())
            continue;
        if (hosts)
            *hosts << text.section(QLatin1Char(' '), 0, 0);
        QString path = text.section(QLatin1Char(' '), 1);
        path.remove(partial);
        ++counts[QDir(folder).relativeFilePath(path)];
    }
    return counts;
}

// The cells those runs encoded, by their bitstream's path without suffix ("tiny.results/test/Raw_QP27"),
// a cell in segments once.
QSet<QString> cellsOf(const QHash<QString, int> &runs)
{
    QSet<QString> cells;
    for (auto it = runs.cbegin(); it != runs.cend(); ++it)
        cells << it.key().left(it.key().indexOf(".265"));
    return cells;
}

// The JSON objects among a run's lines (--progress json).
QList<QJsonObject> jsonEvents(const QByteArray &err)
{
    QList<QJsonObject> events;
    for (const QByteArray &line : err.split('\n'))
        if (line.startsWith('{'))
            events << QJsonDocument::fromJson(line).object();
    return events;
}

// Waits for a process to end on its own; one that does not in time is killed.
bool endsWithin(QProcess *process, int ms)
{
    if (process->waitForFinished(ms))
        return process->exitStatus() == QProcess::NormalExit;
    process->kill();
    process->waitForFinished(5000);
    return false;
}

// The tiny plan in `folder` run to its end by one process with two encoders (and `more`).
TestSupport::RunResult runTiny(const QString &folder, const QStringList &more = {})
{
    return TestSupport::run(cliProgram(), QStringList{"--experiment", "tiny.json", "-j", "2"} + more, 120000, folder);
}

int doneRecords(const QString &results)
{
    int done = 0;
    for (const QString &configuration : configurationNames)
        for (const QString &name : QDir(results + "/" + configuration).entryList({"*.record"}, QDir::Files))
            done += readJson(results + "/" + configuration + "/" + name).value("state").toString() == "done" ? 1 : 0;
    return done;
}

// The experiment in `folder` started with two encoders and `options`; true once `done` of its
// cells have a finished record.
bool startUntilDone(QProcess *cli, const QString &folder, const QStringList &options, int done)
{
    cli->setWorkingDirectory(folder);
    cli->start(cliProgram(), QStringList{"--experiment", "tiny.json", "-j", "2"} + options);
    return cli->waitForStarted(10000)
        && QTest::qWaitFor([&] { return doneRecords(folder + "/tiny.results") >= done; }, 60000);
}

// The experiment in `folder` run by two processes at once with `encoders` each, one of them
// under another host name; true when both end with 0.
bool runHereAndElsewhere(const QString &folder, const char *encoders)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORLUNEX_CLAIM_TIMEOUT", "6");
    const QStringList arguments{"--experiment", "tiny.json", "-j", encoders, "-q"};
    QProcess here, away;
    for (QProcess *process : {&here, &away}) {
        process->setWorkingDirectory(folder);
        process->setProcessEnvironment(environment);
    }
    here.start(cliProgram(), arguments);
    away.start("unshare", QStringList{"--uts", "sh", "-c", "hostname elsewhere && exec \"$0\" \"$@\"", cliProgram()} + arguments);
    bool ended = true;
    for (QProcess *process : {&here, &away}) {
        if (!endsWithin(process, 120000) || process->exitCode() != 0) {
            qWarning("%s", process->readAllStandardError().constData());
            ended = false;
        }
    }
    return ended;
}

// The comparison row of `kind` ("sequence", "class", "overall") for the test configuration
// `configuration` and the sequence or class `name`.
QHash<QString, QString> comparisonRow(const QList<QHash<QString, QString>> &rows, const QString &kind,
                                      const QString &configuration, const QString &name)
{
    for (const auto &row : rows)
        if (row.value("row") == kind && row.value("configuration") == configuration
            && (row.value("sequence") == name || (kind != "sequence" && row.value("class") == name)))
            return row;
    return {};
}

// --bd-rate's figures (JSON) on the reports of one sequence, `reference` against `test`, each
// report first passed through `change` into the folder `copies` when it is given.
QJsonObject bdRateOf(const QString &results, const QString &sequence, const QString &reference, const QString &test,
                     const QStringList &more = {}, const std::function<QJsonObject(QJsonObject)> &change = {},
                     const QString &copies = QString())
{
    QStringList lists[2];
    for (int side = 0; side < 2; ++side)
        for (int qp : qps) {
            const QString configuration = side == 0 ? reference : test;
            QString path = QStringLiteral("%1/%2/%3_QP%4.json").arg(results, configuration, sequence).arg(qp);
            if (change) {
                const QString copy = QStringLiteral("%1/%2_%3_QP%4.json").arg(copies, configuration, sequence).arg(qp);
                if (!TestSupport::writeFile(copy, QJsonDocument(change(readJson(path))).toJson()))
                    return {};
                path = copy;
            }
            lists[side] << path;
        }
    const TestSupport::RunResult bd = TestSupport::run(
        cliProgram(), QStringList{"--progress", "json"} + more + QStringList{"--bd-rate"} + lists[0]
                          + QStringList{"--vs"} + lists[1]);
    if (bd.exitCode != 0)
        qWarning("%s", bd.err.constData());
    return QJsonDocument::fromJson(bd.out).object();
}

// Sets a figure of a report's summary (removes it when value is undefined).
bool setSummary(const QString &path, const QString &key, const QJsonValue &value)
{
    QJsonObject report = readJson(path);
    QJsonObject summary = report.value("summary").toObject();
    if (value.isUndefined())
        summary.remove(key);
    else
        summary.insert(key, value);
    report.insert("summary", summary);
    return TestSupport::writeFile(path, QJsonDocument(report).toJson());
}

double summaryFigure(const QString &path, const QString &key)
{
    return readJson(path).value("summary").toObject().value(key).toDouble();
}

// The tiny plan as second.json in `folder`, its anchor's cells those of tiny.results/anchor.
bool writeSecondPlan(const QString &folder)
{
    QJsonObject plan = basePlan(folder + "/wrapper.sh");
    QJsonArray configurations = plan.value("configurations").toArray();
    QJsonObject anchor = configurations.at(0).toObject();
    anchor["cells"] = "tiny.results/anchor";
    configurations[0] = anchor;
    plan["configurations"] = configurations;
    return writePlan(folder + "/second.json", plan);
}

// The rows of results.csv with their BD-rates, rates and PSNRs, without the times, which move
// from run to run.
QStringList figuresOf(const QString &path)
{
    QStringList rows;
    for (const auto &row : readCsv(path)) {
        QStringList fields;
        for (const char *key : {"row", "class", "sequence", "configuration", "qp", "bd_rate_y", "bd_rate_u",
                                "bd_rate_v", "bd_rate_yuv", "sequences", "rate_kbps", "psnr_y", "psnr_u", "psnr_v",
                                "psnr_yuv", "state"})
            fields << row.value(QLatin1String(key));
        rows << fields.join(QLatin1Char(','));
    }
    return rows;
}

// Every entry of a folder with the hash of its contents (folders with none), and its time.
QStringList fingerprint(const QString &folder)
{
    QStringList entries;
    for (const QString &entry : TestSupport::everythingIn(folder)) {
        const QFileInfo info(folder + "/" + entry);
        const QByteArray hash = info.isFile() ? QCryptographicHash::hash(TestSupport::readFile(info.filePath()),
                                                                          QCryptographicHash::Sha256).toHex()
                                              : QByteArray();
        entries << entry + " " + QString::fromLatin1(hash) + " " + QString::number(info.lastModified().toMSecsSinceEpoch());
    }
    return entries;
}

} // namespace

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
    void secondPlan_usesTheFirstPlansAnchorCells_andLeavesThemAsTheyAre();
    void shortOrDamagedCells_areNeverDone_andAreEncodedAgain();
    void editedCells_areEncodedAgain_andTheTablesStayAsTheyWere();
    void closedSeams_neverInACell_sameCellsWithOneEncoderOrTwo();
    void fullDisk_failsWithItsOwnStatus_keepingDoneCellsAndWholeFiles();
    void folderOfAnotherPlanOrTheUser_isRefused_andAnEarlierVersionsIsKept();
    void decoderVerdict_decidesTheCell_data();
    void decoderVerdict_decidesTheCell();
    void stopped_keepsFinishedCells_andTellsEveryEvent();
    void referenceEncoderAndDecoder_everyHashChecksOut();
    void referenceEncoder_sameBitstreamsHoweverTheCellsAreCut();
    void badPlan_isRefusedWithNothingWritten_data();
    void badPlan_isRefusedWithNothingWritten();

private:
    QString prepare(IsolatedEnvironment &env, const QStringList &markers = {});

    IsolatedEnvironment shared;
    QList<QHash<QString, QString>> oneProcessResults;
};

void ExperimentTest::initTestCase()
{
    QVERIFY(shared.isValid());
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-c:v", "libx264", "-pix_fmt", "yuv420p",
                                 shared.filePath("clip.mp4")}));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-pix_fmt", "yuv420p", "-f", "rawvideo",
                                 shared.filePath("raw_64x64.yuv")}));
    const QByteArray bundled = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    QVERIFY(!bundled.isEmpty());
    QVERIFY(TestSupport::writeFile(shared.filePath("anchor.cfg"), bundled + "MlxPreset : ultrafast\n"));
    QVERIFY(TestSupport::writeFile(shared.filePath("test.cfg"),
                                   bundled + "MlxPreset : ultrafast\nMlxX265Params : rd=1:psy-rd=0\n"));
}

// The tiny plan in the test's folder, with the wrapper's marker files ("slow", "fail", "cut").
QString ExperimentTest::prepare(IsolatedEnvironment &env, const QStringList &markers)
{
    const QString folder = env.path();
    for (const QString &marker : markers)
        if (!TestSupport::writeFile(folder + "/" + marker, ""))
            return QString();
    for (const char *name : {"clip.mp4", "raw_64x64.yuv", "anchor.cfg", "test.cfg"})
        if (!QFile::copy(shared.filePath(QLatin1String(name)), folder + "/" + QLatin1String(name)))
            return QString();
    if (!TestSupport::writeScript(folder + "/wrapper.sh", wrapperScript())
        || !writePlan(folder + "/tiny.json", basePlan(folder + "/wrapper.sh")))
        return QString();
    return folder;
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

// A second plan whose anchor names the first plan's anchor cells: it encodes only its test
// configuration's cells, its BD-rates are the first plan's (the encodes are deterministic), and
// the first plan's folder is as it was, byte for byte, with no file more or less.
void ExperimentTest::secondPlan_usesTheFirstPlansAnchorCells_andLeavesThemAsTheyAre()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QStringList before = fingerprint(folder + "/tiny.results");
    QVERIFY(QFile::remove(folder + "/runs.txt"));

    QVERIFY(writeSecondPlan(folder));
    run = TestSupport::run(cliProgram(), {"--experiment", "second.json", "-j", "2", "-q"}, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    const QSet<QString> encoded = cellsOf(encodes(folder));
    QSet<QString> expected;
    for (const QString &sequence : sequenceNames)
        for (int qp : qps)
            expected << QStringLiteral("second.results/test/%1_QP%2").arg(sequence).arg(qp);
    QCOMPARE(encoded, expected);
    QCOMPARE(fingerprint(folder + "/tiny.results"), before);
    QVERIFY(QDir(folder + "/second.results/anchor").entryList(QDir::Files).isEmpty());
    const auto first = readCsv(folder + "/tiny.results/results.csv");
    const auto second = readCsv(folder + "/second.results/results.csv");
    for (const QString kind : {"sequence", "class", "overall"})
        for (const QString &name : sequenceNames + QStringList{"A", ""}) {
            const auto mine = comparisonRow(second, kind, "test", name);
            if (mine.isEmpty())
                continue;
            for (const char *figure : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_rate_yuv"})
                QCOMPARE(mine.value(QLatin1String(figure)), comparisonRow(first, kind, "test", name).value(QLatin1String(figure)));
        }
    // The second plan's cells of the anchor are the first plan's files.
    const QJsonArray cells = readJson(folder + "/second.results/results.json").value("cells").toArray();
    QCOMPARE(cells.first().toObject().value("bitstream").toString(), folder + "/tiny.results/anchor/Clip_QP22.265");
}

// An encoder that exits 0 yet drops the last picture of a one-piece cell fails that cell, as a
// segment's check would fail a segment. After a whole run, reports that are damaged (no
// summary), hold a negative rate or lack a PSNR leave their cells missing: the same command
// encodes exactly those again, saying why, and tells each cell it finishes with its report's
// figures.
void ExperimentTest::shortOrDamagedCells_areNeverDone_andAreEncodedAgain()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env, {"cut"});
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    const TestSupport::RunResult cut = runTiny(folder);
    QCOMPARE(cut.exitCode, 1);
    QCOMPARE(readJson(results + "/test/Clip_QP27.record").value("failure").toObject().value("reason").toString(),
             QString("the encoder exited with 0 but its bitstream holds 15 pictures, not 16"));
    QCOMPARE(TestSupport::probeVideo(results + "/test/Clip_QP27.265").frames, pictures - 1);
    QCOMPARE(doneRecords(results), 15);

    QFile::remove(folder + "/cut");
    QFile::remove(folder + "/runs.txt");
    const auto damage = [&results](const QString &cell, const QString &key, const QJsonValue &value) {
        return setSummary(results + "/" + cell + ".json", key, value);
    };
    // Records as an earlier version wrote them, without digests, so that the reports' own checks
    // are the ones that find them damaged.
    for (const char *cell : {"anchor/Clip_QP27", "test/Raw_QP32", "anchor/Raw_QP37"}) {
        QJsonObject record = readJson(results + "/" + QLatin1String(cell) + ".record");
        record.remove("report_digest");
        QVERIFY(TestSupport::writeFile(results + "/" + QLatin1String(cell) + ".record", QJsonDocument(record).toJson()));
    }
    QVERIFY(TestSupport::writeFile(results + "/anchor/Clip_QP27.json", "{}\n"));
    QVERIFY(damage("test/Raw_QP32", "rate_kbps", -5.0));
    QVERIFY(damage("anchor/Raw_QP37", "psnr_y", QJsonValue(QJsonValue::Undefined)));
    const TestSupport::RunResult run = runTiny(folder, {"--progress", "json"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QSet<QString> again = cellsOf(encodes(folder));
    QCOMPARE(again, (QSet<QString>{"tiny.results/test/Clip_QP27", "tiny.results/anchor/Clip_QP27",
                                   "tiny.results/test/Raw_QP32", "tiny.results/anchor/Raw_QP37"}));
    QStringList notes;
    int done = 0;
    for (const QJsonObject &event : jsonEvents(run.err)) {
        if (event.value("event") == "note")
            notes << event.value("text").toString();
        if (event.value("event") != "done")
            continue;
        ++done;
        QVERIFY2(event.value("rate_kbps").toDouble() > 0 && event.value("psnr_y").toDouble() > 20,
                 QJsonDocument(event).toJson().constData());
    }
    QCOMPARE(done, 4);
    const QString said = notes.join('\n');
    for (const char *reason : {"Clip QP27 test failed in an earlier run (the encoder exited with 0 but its bitstream holds",
                               "Clip QP27 anchor is encoded again: its report", "is no quality report",
                               "Raw QP32 test is encoded again: the report", "has rate_kbps -5, which is no rate",
                               "Raw QP37 anchor is encoded again: the report", "has no PSNR"})
        QVERIFY2(said.contains(QLatin1String(reason)), qPrintable(said));
    QCOMPARE(doneRecords(results), 16);
    const QJsonObject summary = readJson(results + "/results.json");
    QCOMPARE(summary.value("cells_done").toInt(), 16);
    for (const QJsonValue &row : summary.value("sequences").toArray())
        QVERIFY(row.toObject().value("bd_rate_y").isDouble());
}

// Cells edited after they were done, each encoded again (and only those) with the reason, and
// the tables as they were: a report's PSNR-Y raised, a byte of a bitstream flipped with its size
// and time of change kept, and a record of an earlier version (no digests) whose report's rate
// was halved; the earlier version's records of cells left alone are digested as they are. A
// second plan sharing the first plan's anchor encodes the anchor cell whose report was edited
// there in its own folder, saying so, leaving the first folder as it is, with the same tables.
void ExperimentTest::editedCells_areEncodedAgain_andTheTablesStayAsTheyWere()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QStringList tables = figuresOf(results + "/results.csv");
    const QString edited = results + "/test/Clip_QP27.json";
    QVERIFY(setSummary(edited, "psnr_y", summaryFigure(edited, "psnr_y") + 3));

    const QString flipped = results + "/anchor/Raw_QP32.265";
    const QDateTime changed = QFileInfo(flipped).lastModified();
    QByteArray bytes = TestSupport::readFile(flipped);
    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x10);
    QFile file(flipped);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(bytes.size() / 2) && file.write(bytes.mid(bytes.size() / 2, 1)) == 1);
    QVERIFY(file.setFileTime(changed, QFileDevice::FileModificationTime));
    file.close();

    // Records as an earlier version wrote them: without digests.
    for (const char *cell : {"anchor/Clip_QP37", "test/Raw_QP22"}) {
        const QString path = results + "/" + QLatin1String(cell) + ".record";
        QJsonObject record = readJson(path);
        QVERIFY(record.contains("bitstream_digest") && record.contains("report_digest"));
        record.remove("bitstream_digest");
        record.remove("report_digest");
        QVERIFY(TestSupport::writeFile(path, QJsonDocument(record).toJson()));
    }
    const QString halved = results + "/anchor/Clip_QP37.json";
    QVERIFY(setSummary(halved, "rate_kbps", summaryFigure(halved, "rate_kbps") / 2));

    QFile::remove(folder + "/runs.txt");
    run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QCOMPARE(cellsOf(encodes(folder)), (QSet<QString>{"tiny.results/test/Clip_QP27", "tiny.results/anchor/Raw_QP32",
                                                      "tiny.results/anchor/Clip_QP37"}));
    for (const QString &said :
         {QStringLiteral("Clip QP27 test is encoded again: its report %1 has changed since it was written.").arg(edited),
          QStringLiteral("Raw QP32 anchor is encoded again: its bitstream %1 has changed since it was written.").arg(flipped),
          QStringLiteral("Clip QP37 anchor is encoded again: its report %1 gives a rate of").arg(halved),
          QStringLiteral("1 done cell had no digests of its files as they are")})
        QVERIFY2(run.err.contains(said.toUtf8()), run.err.constData());
    QVERIFY(readJson(results + "/test/Raw_QP22.record").contains("bitstream_digest"));
    QCOMPARE(figuresOf(results + "/results.csv"), tables);

    // The second plan, whose anchor is the first plan's.
    const QString shared = results + "/anchor/Clip_QP22.json";
    QVERIFY(setSummary(shared, "psnr_u", summaryFigure(shared, "psnr_u") + 5));
    const QStringList before = fingerprint(results);
    QVERIFY(writeSecondPlan(folder));
    QFile::remove(folder + "/runs.txt");
    run = TestSupport::run(cliProgram(), {"--experiment", "second.json", "-j", "2"}, 120000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains(QStringLiteral("Clip QP22 anchor is encoded in %1/second.results/anchor: its cell made "
                                             "before in %2/anchor is not used, as its report %3 has changed since it "
                                             "was written.").arg(folder, results, shared).toUtf8()),
             run.err.constData());
    QVERIFY(cellsOf(encodes(folder)).contains("second.results/anchor/Clip_QP22"));
    QCOMPARE(QDir(folder + "/second.results/anchor").entryList({"*.record"}, QDir::Files), QStringList{"Clip_QP22.record"});
    QCOMPARE(fingerprint(results), before);
    QCOMPARE(figuresOf(folder + "/second.results/results.csv"), tables);
}

// A clip long enough to be cut at its intra period, with one encoder and with two: every cell's
// bitstream is byte for byte the same. The bundled encoder, whose segments join only the closed
// way, never has a cell cut, and the log says once why. The same encoder behind a script, whose
// seams are taken for exact, with the copy of the seam's picture in a later segment coded at
// another QP: the seam fails its proof, and the cell is encoded again in one piece rather than
// joined the closed way, leaving no parts folder.
void ExperimentTest::closedSeams_neverInACell_sameCellsWithOneEncoderOrTwo()
{
    IsolatedEnvironment env;
    const QString encoder = TestSupport::binDir() + "/morlunex-hevc-encoder";
    const QByteArray bundled = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    QVERIFY(TestSupport::writeFile(env.filePath("anchor.cfg"), bundled));
    QVERIFY(TestSupport::writeFile(env.filePath("test.cfg"), bundled + "MlxPreset : ultrafast\n"));
    QVERIFY(TestSupport::writeScript(env.filePath("unsteady.sh"),
                                     "#!/bin/sh\ncase \"$*\" in *.parts/part_0000000.*) ;;\n"
                                     "  *.parts/part_*) exec \"" + QFile::encodeName(encoder) + "\" \"$@\" -q 51;;\nesac\n"
                                     "exec \"" + QFile::encodeName(encoder) + "\" \"$@\"\n"));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v", "40", "-c:v",
                                 "libx264", "-pix_fmt", "yuv420p", env.filePath("clip.mp4")}));
    for (const QString &program : {encoder, env.filePath("unsteady.sh")}) {
        const QString name = QFileInfo(program).baseName();
        QJsonObject plan{
            {"sequences", QJsonArray{QJsonObject{{"name", "Clip"}, {"path", "clip.mp4"}}}},
            {"configurations", QJsonArray{
                QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", program}, {"cfg", "anchor.cfg"}},
                QJsonObject{{"name", "test"}, {"encoder", program}, {"cfg", "test.cfg"}}}},
            {"qps", QJsonArray{22, 27, 32, 37}}};
        for (const char *encoders : {"1", "2"}) {
            plan.insert("folder", QStringLiteral("%1_j%2.results").arg(name, QLatin1String(encoders)));
            QVERIFY(writePlan(env.filePath(name + ".json"), plan));
            const TestSupport::RunResult run =
                TestSupport::run(cliProgram(), {"--experiment", name + ".json", "-j", encoders}, 120000, env.path());
            QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
            const bool two = encoders[0] == '2';
            QCOMPARE(run.err.count("never in segments"), two && program == encoder ? 1 : 0);
            QCOMPARE(run.err.count("Clip QP37 test is encoded again in one piece: the seam between segments"),
                     two && program != encoder ? 1 : 0);
        }
        const QString one = env.filePath(name + "_j1.results"), two = env.filePath(name + "_j2.results");
        for (const QString &configuration : configurationNames)
            for (int qp : qps) {
                const QString cell = QStringLiteral("/%1/Clip_QP%2.265").arg(configuration).arg(qp);
                const QByteArray bitstream = TestSupport::readFile(one + cell);
                QVERIFY2(!bitstream.isEmpty() && TestSupport::readFile(two + cell) == bitstream, qPrintable(two + cell));
            }
        QCOMPARE(figuresOf(two + "/results.csv"), figuresOf(one + "/results.csv"));
        QVERIFY2(TestSupport::everythingIn(two).filter("parts").isEmpty(), qPrintable(TestSupport::everythingIn(two).join(' ')));
    }
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
    const QRegularExpression named("^(experiment\\.record|results\\.(csv|json|md)|anchor|test|plots|"
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

void ExperimentTest::decoderVerdict_decidesTheCell_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("hashes");
    QTest::addColumn<QString>("failure");
    const QByteArray ok = "POC    0 TId: 0 ( I-SLICE, QP 27 ) [MD5:0a1b,(OK)]\n";
    const QByteArray wrong = "POC    1 TId: 0 ( B-SLICE, QP 30 ) [MD5:0a1c,(***ERROR***)]\n";
    const QByteArray plain = "POC    0 TId: 0 ( I-SLICE, QP 27 )\n";
    QTest::newRow("every hash checks out") << ok.repeated(pictures) << 0 << "16/16 OK" << QString();
    QTest::newRow("no hashes in the stream") << plain.repeated(pictures) << 0 << "no hashes" << QString();
    QTest::newRow("a hash that does not match") << ok.repeated(pictures - 1) + wrong << 0 << "1 of 16 wrong"
                                                << "1 of 16 decoded pictures do not match their hashes";
    QTest::newRow("the decoder fails") << ok.repeated(pictures) << 2 << "16/16 OK" << "the decoder exited with code 2";
    QTest::newRow("nothing decoded") << QByteArray("Error: no stream\n") << 0 << "no hashes"
                                     << "the decoder decoded no picture";
    QTest::newRow("a part decoded") << ok.repeated(2) << 0 << "2/16 OK"
                                    << "the decoder decoded 2 of the bitstream's 16 pictures";
    QTest::newRow("a part's hashes checked") << ok.repeated(2) + plain.repeated(pictures - 2) << 0 << "2/16 OK"
                                             << "the decoder checked the hashes of 2 of the bitstream's 16 pictures";
}

// A scripted decoder behind the test configuration: its verdict on each bitstream (hash lines,
// exit code) is what the cell's record and the results say; any fault fails the cell, a decode
// of fewer pictures than the bitstream holds, or a hash check of fewer, too.
void ExperimentTest::decoderVerdict_decidesTheCell()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QString, hashes);
    QFETCH(QString, failure);
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    QVERIFY(TestSupport::writeScript(folder + "/decoder.sh", "#!/bin/sh\n[ \"$1 $3\" = \"-b -o\" ] || exit 9\nprintf '"
                                                                  + output + "'\nexit " + QByteArray::number(exitCode) + "\n"));
    QJsonObject plan = readJson(folder + "/tiny.json");
    plan.insert("sequences", QJsonArray{plan.value("sequences").toArray().at(0)});
    QJsonArray configurations = plan.value("configurations").toArray();
    QJsonObject test = configurations.at(1).toObject();
    test.insert("decoder", "decoder.sh");
    configurations[1] = test;
    plan.insert("configurations", configurations);
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    const TestSupport::RunResult run = runTiny(folder);
    QVERIFY2(run.finished && run.exitCode == (failure.isEmpty() ? 0 : 1), run.err.constData());
    const QJsonObject results = readJson(folder + "/tiny.results/results.json");
    for (const QJsonValue &value : results.value("cells").toArray()) {
        const QJsonObject cell = value.toObject();
        const bool decoded = cell.value("configuration").toString() == "test";
        QCOMPARE(cell.value("hashes").toString(), decoded ? hashes : QString());
        QCOMPARE(cell.value("state").toString(), decoded && !failure.isEmpty() ? QString("failed") : QString("done"));
        if (decoded && !failure.isEmpty())
            QCOMPARE(cell.value("failure").toObject().value("reason").toString(), failure);
    }
    const QJsonObject row = results.value("sequences").toArray().at(0).toObject();
    QCOMPARE(row.value("dec_t").isNull(), true);   // the anchor has no decoder
    QCOMPARE(row.value("bd_rate_y").isDouble(), failure.isEmpty());
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

// The reference encoder writing a hash of every decoded picture, RDOQ on (anchor) and off
// (test), and the reference decoder behind each: every hash checks out and DecT is there.
void ExperimentTest::referenceEncoderAndDecoder_everyHashChecksOut()
{
    const QString encoder = TestSupport::referenceTool("TAppEncoder");
    const QString decoder = TestSupport::referenceTool("TAppDecoder");
    if (encoder.isEmpty() || decoder.isEmpty())
        QSKIP("The reference encoder and decoder are not there (set MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const QByteArray bundled = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    QVERIFY(TestSupport::writeFile(folder + "/anchor.cfg", bundled + "SEIDecodedPictureHash : 1\n"));
    QVERIFY(TestSupport::writeFile(folder + "/test.cfg", bundled + "SEIDecodedPictureHash : 1\nRDOQ : 0\nRDOQTS : 0\n"));
    QJsonObject plan = basePlan(encoder);
    QJsonArray sequences = plan.value("sequences").toArray();
    for (int i = 0; i < sequences.size(); ++i) {
        QJsonObject sequence = sequences.at(i).toObject();
        sequence.insert("frames", 8);
        sequence.insert("class", i == 0 ? "A" : "B");
        sequences[i] = sequence;
    }
    QJsonArray configurations = plan.value("configurations").toArray();
    for (int i = 0; i < configurations.size(); ++i) {
        QJsonObject configuration = configurations.at(i).toObject();
        configuration.insert("decoder", decoder);
        configurations[i] = configuration;
    }
    plan.insert("sequences", sequences);
    plan.insert("configurations", configurations);
    QVERIFY(writePlan(folder + "/tiny.json", plan));
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 300000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QJsonObject results = readJson(folder + "/tiny.results/results.json");
    QCOMPARE(results.value("cells_done").toInt(), 16);
    for (const QJsonValue &cell : results.value("cells").toArray())
        QCOMPARE(cell.toObject().value("hashes").toString(), QString("8/8 OK"));
    for (const QJsonValue &row : results.value("sequences").toArray()) {
        QVERIFY(row.toObject().value("dec_t").toDouble() > 0);
        QVERIFY(row.toObject().value("bd_rate_y").isDouble());
    }
    QCOMPARE(results.value("classes").toArray().size(), 2);
}

// The reference encoder, whose segments join into one piece's bytes, with its stock
// random-access configuration, which leaves the source keys (FramesToBeEncoded, InputBitDepth,
// …) to a per-sequence file: the same plan run with one encoder, with three (the last cells cut
// into segments) and by two processes under two host names gives every cell's bitstream byte
// for byte, every picture hash checked, and so the same BD-rates. A record of an earlier
// version, whose encoder got the configuration without the keys the plan now adds, still fits.
void ExperimentTest::referenceEncoder_sameBitstreamsHoweverTheCellsAreCut()
{
    const QString encoder = TestSupport::referenceTool("TAppEncoder");
    const QString decoder = TestSupport::referenceTool("TAppDecoder");
    const QByteArray stock = TestSupport::readFile(QFileInfo(encoder).path() + "/../encoder_randomaccess_main.cfg");
    if (encoder.isEmpty() || decoder.isEmpty() || stock.isEmpty())
        QSKIP("The reference encoder, decoder and configuration are not there (set MORLUNEX_REFERENCE_BIN)");
    IsolatedEnvironment env;
    const QByteArray bundled = stock + "SEIDecodedPictureHash : 1\nIntraPeriod : 16\n";
    const QJsonObject plan{
        {"sequences", QJsonArray{QJsonObject{{"name", "Raw"}, {"path", "seq_64x64.yuv"}, {"size", "64x64"}, {"fps", 25}}}},
        {"configurations", QJsonArray{
            QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", encoder}, {"cfg", "anchor.cfg"}, {"decoder", decoder}},
            QJsonObject{{"name", "test"}, {"encoder", encoder}, {"cfg", "test.cfg"}, {"decoder", decoder}}}},
        {"qps", QJsonArray{22, 27, 32, 37}}};
    const QStringList ways{"one encoder", "three encoders", "two hosts"};
    for (const QString &way : ways) {
        const QString folder = env.filePath(way);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v", "33",
                                     "-pix_fmt", "yuv420p", "-f", "rawvideo", folder + "/seq_64x64.yuv"}));
        QVERIFY(TestSupport::writeFile(folder + "/anchor.cfg", bundled));
        QVERIFY(TestSupport::writeFile(folder + "/test.cfg", bundled + "RDOQ : 0\nRDOQTS : 0\n"));
        QVERIFY(writePlan(folder + "/tiny.json", plan));
    }
    for (const char *encoders : {"1", "3"}) {
        const QString folder = env.filePath(ways.at(encoders[0] == '1' ? 0 : 1));
        const TestSupport::RunResult run =
            TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", encoders, "-q"}, 300000, folder);
        QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    }
    QVERIFY(runHereAndElsewhere(env.filePath(ways.at(2)), "2"));

    int cutCells = 0;
    const QString first = env.filePath(ways.at(0)) + "/tiny.results/";
    for (const QString &configuration : configurationNames) {
        for (int qp : qps) {
            const QString cell = QStringLiteral("%1/Raw_QP%2").arg(configuration).arg(qp);
            const QByteArray bitstream = TestSupport::readFile(first + cell + ".265");
            QVERIFY2(!bitstream.isEmpty(), qPrintable(cell));
            for (const QString &way : ways.mid(1)) {
                const QString results = env.filePath(way) + "/tiny.results/";
                QVERIFY2(TestSupport::readFile(results + cell + ".265") == bitstream, qPrintable(way + ": " + cell));
                cutCells += TestSupport::readFile(results + cell + ".log").contains("Segments are joined seamlessly") ? 1 : 0;
            }
        }
    }
    QVERIFY2(cutCells > 0, "no cell was encoded in segments");
    QJsonObject row = readJson(first + "results.json").value("sequences").toArray().first().toObject();
    for (const QString &way : ways.mid(1)) {
        const QJsonObject results = readJson(env.filePath(way) + "/tiny.results/results.json");
        for (const QJsonValue &cell : results.value("cells").toArray())
            QCOMPARE(cell.toObject().value("hashes").toString(), QString("33/33 OK"));
        const QJsonObject other = results.value("sequences").toArray().first().toObject();
        for (const char *key : {"bd_rate_y", "bd_rate_u", "bd_rate_v", "bd_rate_yuv"}) {
            QVERIFY(row.value(key).isDouble());
            QCOMPARE(other.value(key).toDouble(), row.value(key).toDouble());
        }
    }

    const QString earlier = first + "anchor/Raw_QP22.record";
    QJsonObject record = readJson(earlier);
    QJsonObject sources = record.value("sources").toObject();
    QString given = sources.value("configuration").toString();
    for (const char *added : {"InputBitDepth : 8\n", "InputChromaFormat : 420\n", "FramesToBeEncoded : 33\n"}) {
        QVERIFY2(given.contains(QLatin1String(added)), added);
        given.remove(QLatin1String(added));
    }
    sources.insert("configuration", given);
    record.insert("sources", sources);
    QVERIFY(TestSupport::writeFile(earlier, QJsonDocument(record).toJson()));
    const TestSupport::RunResult again = TestSupport::run(cliProgram(), {"--experiment", "tiny.json"}, 60000,
                                                          env.filePath(ways.at(0)));
    QVERIFY2(again.finished && again.exitCode == 0 && again.err.contains("(8 done already)"), again.err.constData());
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
    QTest::newRow("a missing encoder") << "encoder:missing" << 66 << QStringList{"the encoder"};
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
