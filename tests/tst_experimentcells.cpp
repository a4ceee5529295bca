// The cells of a coding experiment (the tiny plan of tst_experiment): which count as done and
// which are encoded again (short, damaged or edited files, a shared anchor's cells), cells never
// cut where their seams would be closed, the decoder's verdict deciding a cell, and the
// reference encoder and decoder checking every picture hash, with the same bitstreams however
// the cells are cut. Faults injected: an encoder that drops a picture, a decoder that decodes
// part, damaged and edited reports and bitstreams.

#include "experiment/cellcheck.h"
#include "experiment/cellrecord.h"
#include "experiment/experimentplan.h"
#include "experiment/resultsfiles.h"
#include "experimentrun/resultswriter.h"
#include "parts/partclaim.h"
#include "support/tinyexperiment.h"

#include <QDateTime>
#include <QImage>

#include <cmath>
#include <cstring>
#include <functional>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::IsolatedEnvironment;
using namespace TinyExperiment;

class ExperimentCellsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondPlan_usesTheFirstPlansAnchorCells_andLeavesThemAsTheyAre();
    void shortOrDamagedCells_areNeverDone_andAreEncodedAgain();
    void editedCells_areEncodedAgain_andTheTablesStayAsTheyWere();
    void closedSeams_neverInACell_sameCellsWithOneEncoderOrTwo();
    void decoderVerdict_decidesTheCell_data();
    void decoderVerdict_decidesTheCell();
    void referenceEncoderAndDecoder_everyHashChecksOut();
    void referenceEncoder_sameBitstreamsHoweverTheCellsAreCut();
    void resultsServedByAnotherWrite_areTheCellsOnDisk_evenFromAnEarlierVersion();

private:
    QString prepare(IsolatedEnvironment &env, const QStringList &markers = {})
    {
        return TinyExperiment::prepare(shared, env, markers);
    }

    IsolatedEnvironment shared;
};

void ExperimentCellsTest::initTestCase()
{
    QVERIFY(shared.isValid());
    QVERIFY(makeShared(shared));
}

// A second plan whose anchor names the first plan's anchor cells: it encodes only its test
// configuration's cells, its BD-rates are the first plan's (the encodes are deterministic), and
// the first plan's folder is as it was, byte for byte, with no file more or less.
void ExperimentCellsTest::secondPlan_usesTheFirstPlansAnchorCells_andLeavesThemAsTheyAre()
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
void ExperimentCellsTest::shortOrDamagedCells_areNeverDone_andAreEncodedAgain()
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
void ExperimentCellsTest::editedCells_areEncodedAgain_andTheTablesStayAsTheyWere()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const QString results = folder + "/tiny.results";
    TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    const QStringList tables = figuresOf(results + "/results.csv");
    // Every record keeps its report's figures, which other processes take instead of reading the
    // report: each the very double a fresh read of the report gives.
    int kept = 0;
    for (const QString &configuration : configurationNames)
        for (const QString &name : QDir(results + "/" + configuration).entryList({"*.record"}, QDir::Files)) {
            const QString stem = results + "/" + configuration + "/" + name.chopped(int(strlen(".record")));
            CellRecord record;
            QString problem;
            QVERIFY2(CellRecord::read(stem + ".record", &record, &problem) && record.reportFigures, qPrintable(stem));
            ReportSummary summary;
            QCOMPARE(CellCheck::reportProblem(stem + ".json", record.pictures, record.bitstreamBytes, &summary), QString());
            const double figures[] = {record.reportFigures->kbitPerSecond, record.reportFigures->psnrY,
                                      record.reportFigures->psnrU, record.reportFigures->psnrV};
            const double read[] = {summary.kbitPerSecond, summary.psnrY, summary.psnrU, summary.psnrV};
            QVERIFY2(std::memcmp(figures, read, sizeof figures) == 0, qPrintable(stem));
            ++kept;
        }
    QCOMPARE(kept, 16);
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
void ExperimentCellsTest::closedSeams_neverInACell_sameCellsWithOneEncoderOrTwo()
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

void ExperimentCellsTest::decoderVerdict_decidesTheCell_data()
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
void ExperimentCellsTest::decoderVerdict_decidesTheCell()
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

// The reference encoder writing a hash of every decoded picture, RDOQ on (anchor) and off
// (test), and the reference decoder behind each: every hash checks out and DecT is there.
void ExperimentCellsTest::referenceEncoderAndDecoder_everyHashChecksOut()
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
void ExperimentCellsTest::referenceEncoder_sameBitstreamsHoweverTheCellsAreCut()
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

// Processes of a shared experiment that end together: the one whose request another's write
// served takes the cells that write kept, and they are what reading every cell gives, paths and
// all. A mark with no cells after it (an earlier version's) or cells cut short are read again
// from the cells' files.
void ExperimentCellsTest::resultsServedByAnotherWrite_areTheCellsOnDisk_evenFromAnEarlierVersion()
{
    IsolatedEnvironment env;
    const QString folder = prepare(env);
    QVERIFY(!folder.isEmpty());
    const TestSupport::RunResult run = runTiny(folder, {"-q"});
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    ExperimentPlan plan;
    QVERIFY(plan.read(folder + "/tiny.json", ExperimentPlan::ToFollow));
    const ExperimentResults onDisk = ExperimentResults::gather(plan);
    QCOMPARE(onDisk.done, 16);
    // What the results files and the terminal would show of them.
    const auto shown = [&plan](const ExperimentResults &results) {
        return ResultsFiles::json(plan, results, results.table) + ResultsFiles::markdown(plan, results, results.table)
               + ResultsFiles::summary(plan, results, results.table).toUtf8();
    };
    const auto endTogether = [&](const std::function<void()> &meanwhile, int writers) {
        PartClaim held(plan.folder() + "/results.claim");
        if (!held.tryTake())
            return QStringList{"the results claim could not be taken"};
        QList<ResultsWriter *> all;
        QStringList problems;
        int written = 0;
        for (int i = 0; i < writers; ++i) {
            all << new ResultsWriter(plan, this);
            connect(all.last(), &ResultsWriter::written, this, [&](const QString &problem) {
                ++written;
                if (!problem.isEmpty())
                    problems << problem;
            });
            all.last()->request();
        }
        meanwhile();
        held.release();
        if (!QTest::qWaitFor([&] { return written == writers; }, 10000))
            problems << "not every request was written";
        for (ResultsWriter *writer : all) {
            if (shown(writer->results()) != shown(onDisk))
                problems << "results other than the cells on disk";
            delete writer;
        }
        return problems;
    };
    // Both ask before either writes, and a third process after them (a later mark on the folder's
    // clock, whose ticks are coarse): the first to get the claim writes, the other is served.
    QStringList problems = endTogether([&] {
        QTest::qWait(50);
        ::utimensat(AT_FDCWD, QFile::encodeName(plan.folder() + "/results.served").constData(), nullptr, 0);
    }, 2);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    const QByteArray served = TestSupport::readFile(plan.folder() + "/results.served");
    const std::optional<ExperimentResults> kept = ExperimentResults::fromBytes(plan, served.mid(served.indexOf('\n') + 1));
    QVERIFY(kept && shown(*kept) == shown(onDisk));

    // A write served the request, but its cells cannot be read: they are gathered.
    const QByteArray later = QByteArray::number(QDateTime::currentMSecsSinceEpoch() * 1000000 + 3600000000000LL);
    for (const QByteArray &bytes : {later, later + '\n' + served.mid(served.indexOf('\n') + 1, 500)}) {
        problems = endTogether([&] { TestSupport::writeFile(plan.folder() + "/results.served", bytes); }, 1);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    }
}

QTEST_GUILESS_MAIN(ExperimentCellsTest)
#include "tst_experimentcells.moc"
