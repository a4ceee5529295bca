// The experiment view on a folder that another process fills: morlunex-cli --experiment on a
// tiny plan (a video and a raw sequence, an anchor and a test configuration, four QPs) with the
// bundled encoder behind a wrapper that slows every encode a little and fails one cell while a
// marker file is there. The view's cells and table follow the folder as records appear, its
// figures are those of the results files, it never writes into the folder, a chosen reference
// gives the figures of the plan with that configuration as its anchor, and a plan dropped on the
// transcoder window opens as an experiment, never as the input.

#include "support/testsupport.h"
#include "support/testwindow.h"

#include "experiment/experimentplan.h"
#include "experiment/experimentresults.h"
#include "experimentview/viewtable.h"
#include "experimentview/celllistmodel.h"
#include "experimentview/experimentview.h"
#include "experimentview/resultsgrid.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int pictures = 8;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

// Every encode waits half a second, so that each cell is seen running; the test configuration's
// Raw QP27 cell fails with status 3 while a file "fail" is there.
QByteArray wrapperScript()
{
    const QByteArray encoder = "\"" + QFile::encodeName(TestSupport::binDir()) + "/morlunex-hevc-encoder\"";
    return "#!/bin/sh\n"
           "dir=$(dirname \"$0\")\n"
           "sleep 0.5\n"
           "case \"$*\" in *test/Raw_QP27*) [ -f \"$dir/fail\" ] && { echo 'bad cell'; exit 3; };; esac\n"
           "exec " + encoder + " \"$@\"\n";
}

QJsonObject tinyPlan(const QString &encoder)
{
    const QJsonArray sequences{
        QJsonObject{{"name", "Clip"}, {"path", "clip.mp4"}, {"class", "A"}},
        QJsonObject{{"name", "Raw"}, {"path", "raw_64x64.yuv"}, {"size", "64x64"}, {"fps", 25}, {"class", "A"}}};
    const QJsonArray configurations{
        QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", encoder}, {"cfg", "anchor.cfg"}},
        QJsonObject{{"name", "test"}, {"encoder", encoder}, {"cfg", "test.cfg"}}};
    return QJsonObject{{"sequences", sequences}, {"configurations", configurations}, {"qps", QJsonArray{22, 27, 32, 37}}};
}

// Every file and folder under `folder` with its size and time of change.
QStringList snapshot(const QString &folder)
{
    QStringList entries;
    for (const QString &path : TestSupport::everythingIn(folder)) {
        const QFileInfo info(folder + QLatin1Char('/') + path);
        entries << QStringLiteral("%1 %2 %3").arg(path).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
    }
    entries.sort();
    return entries;
}

int count(const QList<CellState> &cells, CellState::Kind kind)
{
    return int(std::count_if(cells.cbegin(), cells.cend(), [kind](const CellState &cell) { return cell.kind == kind; }));
}

const TableRow *sequenceRow(const QList<TableRow> &rows, int sequence)
{
    for (const TableRow &row : rows)
        if (row.kind == TableRow::Sequence && row.figures.sequence == sequence)
            return &row;
    return nullptr;
}

// The view's row against the results' comparison: the same figures, or the same lack of them.
void compareRow(const TableRow &row, const Comparison &theirs, const char *where)
{
    const Comparison &mine = row.figures;
    for (int plane = 0; plane < Comparison::planes; ++plane) {
        QVERIFY2(mine.bdRate[plane].has_value() == theirs.bdRate[plane].has_value(), where);
        if (theirs.bdRate[plane])
            QVERIFY2(std::abs(*mine.bdRate[plane] - *theirs.bdRate[plane]) < 1e-9, where);
    }
    QVERIFY2(mine.encT.has_value() == theirs.encT.has_value(), where);
    if (theirs.encT)
        QVERIFY2(std::abs(*mine.encT - *theirs.encT) < 1e-9, where);
    QCOMPARE(mine.sequences, theirs.sequences);
}

} // namespace

class ExperimentViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void view_followsAFolderAnotherProcessFills_writingNothing();
    void chosenReference_givesTheFiguresOfThatAnchor();
    void oneProcess_seesEveryEditAFreshProcessSees();
    void sharedAnchor_givesTheResultsTable_alsoWhereTheEncoderIsMissing();
    void droppedPlan_opensAsAnExperiment_notAsTheInput();

private:
    IsolatedEnvironment env;
    QString folder;
};

void ExperimentViewTest::initTestCase()
{
    QVERIFY(env.isValid());
    folder = env.path();
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-c:v", "libx264", "-pix_fmt", "yuv420p",
                                 env.filePath("clip.mp4")}));
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:rate=25", "-frames:v",
                                 QString::number(pictures), "-pix_fmt", "yuv420p", "-f", "rawvideo",
                                 env.filePath("raw_64x64.yuv")}));
    const QByteArray bundled = TestSupport::readFile(TestSupport::binDir() + "/hevczent.cfg");
    QVERIFY(!bundled.isEmpty());
    QVERIFY(TestSupport::writeFile(env.filePath("anchor.cfg"), bundled + "MlxPreset : ultrafast\n"));
    QVERIFY(TestSupport::writeFile(env.filePath("test.cfg"),
                                   bundled + "MlxPreset : ultrafast\nMlxX265Params : rd=1:psy-rd=0\n"));
    QVERIFY(TestSupport::writeScript(env.filePath("wrapper.sh"), wrapperScript()));
    QVERIFY(TestSupport::writeFile(env.filePath("tiny.json"),
                                   QJsonDocument(tinyPlan(env.filePath("wrapper.sh"))).toJson()));
}

// The view opens before anything is there and writes nothing; while another process encodes,
// cells are seen running on this host, then done or failed (status and last line); the table
// says how many cells of a sequence are done and then has the results' figures; a failed
// cell that a later run encodes turns done, and its sequence gets figures.
void ExperimentViewTest::view_followsAFolderAnotherProcessFills_writingNothing()
{
    ExperimentPlan plan;
    QVERIFY2(plan.read(env.filePath("tiny.json")), qPrintable(plan.error()));
    ExperimentView view(plan, nullptr, 200);
    QTRY_VERIFY_WITH_TIMEOUT(view.filled(), 10000);
    QCOMPARE(count(view.cells(), CellState::Waiting), 16);
    QVERIFY(!QFileInfo::exists(plan.folder()));

    QVERIFY(TestSupport::writeFile(env.filePath("fail"), ""));
    QProcess cli;
    cli.setWorkingDirectory(folder);
    cli.start(cliProgram(), {"--experiment", "tiny.json", "-j", "2"});
    bool seenRunning = false;
    const QString host = QSysInfo::machineHostName();
    QTRY_VERIFY_WITH_TIMEOUT((seenRunning = seenRunning || std::any_of(view.cells().cbegin(), view.cells().cend(), [&](const CellState &cell) {
                                  return cell.kind == CellState::Running && cell.holder.startsWith(host);
                              }),
                              cli.state() == QProcess::NotRunning && count(view.cells(), CellState::Done) == 15),
                             90000);
    QVERIFY(seenRunning);
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY(cli.exitCode() != 0);
    QTRY_COMPARE_WITH_TIMEOUT(count(view.cells(), CellState::Failed), 1, 10000);
    const CellState &failed = view.cells().at(1 * 8 + 1 * 4 + 1);
    QCOMPARE(failed.kind, CellState::Failed);
    QCOMPARE(failed.figures.exitCode, 3);
    QVERIFY2(failed.figures.lastLines.contains("bad cell"), qPrintable(failed.figures.lastLines.join('|')));

    // Clip has figures as the results files have them; Raw says how far it is. The table follows
    // the cells within a moment, as it is made again at most a few times a second.
    const ExperimentResults results = ExperimentResults::gather(plan);
    QTRY_COMPARE_WITH_TIMEOUT(view.grid()->item(2, ResultsGrid::YColumn)->text(), QString("7 of 8 cells done, 1 failed"),
                              5000);
    QVERIFY(sequenceRow(view.table(), 0) && sequenceRow(view.table(), 0)->figures.bdRate[0]);
    compareRow(*sequenceRow(view.table(), 0), results.table.sequences.at(0), "Clip");
    QVERIFY(!sequenceRow(view.table(), 1)->figures.bdRate[0]);

    // Following writes nothing: the folder stays as the run left it while the view looks.
    const QStringList before = snapshot(plan.folder());
    QTest::qWait(1000);
    QCOMPARE(snapshot(plan.folder()), before);

    QVERIFY(QFile::remove(env.filePath("fail")));
    const TestSupport::RunResult again = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 90000, folder);
    QVERIFY2(again.finished && again.exitCode == 0, again.err.constData());
    QTRY_COMPARE_WITH_TIMEOUT(count(view.cells(), CellState::Done), 16, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(sequenceRow(view.table(), 1)->figures.bdRate[0], 5000);
    const ExperimentResults complete = ExperimentResults::gather(plan);
    for (int s = 0; s < 2; ++s)
        compareRow(*sequenceRow(view.table(), s), complete.table.sequences.at(s), s == 0 ? "Clip" : "Raw");
    compareRow(view.table().last(), complete.table.overall.at(0), "overall");
}

// With the test configuration as the reference, the view's figures, the YUV BD-rate included,
// are those of the same cells gathered under a plan whose anchor that configuration is.
void ExperimentViewTest::chosenReference_givesTheFiguresOfThatAnchor()
{
    // Done already when the test before has passed; otherwise the cells still missing are made.
    QFile::remove(env.filePath("fail"));
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 90000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QJsonObject swappedPlan = tinyPlan(env.filePath("wrapper.sh"));
    QJsonArray configurations = swappedPlan.value("configurations").toArray();
    for (int c = 0; c < 2; ++c) {
        QJsonObject configuration = configurations.at(c).toObject();
        configuration.insert("anchor", c == 1);
        configurations.replace(c, configuration);
    }
    swappedPlan.insert("configurations", configurations);
    swappedPlan.insert("folder", "tiny.results");
    QVERIFY(TestSupport::writeFile(env.filePath("swapped.json"), QJsonDocument(swappedPlan).toJson()));
    ExperimentPlan plan, swapped;
    QVERIFY2(plan.read(env.filePath("tiny.json")), qPrintable(plan.error()));
    QVERIFY2(swapped.read(env.filePath("swapped.json")), qPrintable(swapped.error()));
    const ExperimentResults theirs = ExperimentResults::gather(swapped);
    QCOMPARE(theirs.done, 16);

    ExperimentView view(plan, nullptr, 200);
    QTRY_VERIFY_WITH_TIMEOUT(view.filled(), 10000);
    QCOMPARE(count(view.cells(), CellState::Done), 16);
    const double anchorY = *sequenceRow(view.table(), 0)->figures.bdRate[0];
    view.chooseReference(1);
    QCOMPARE(view.reference(), 1);
    QCOMPARE(view.table().first().configuration, 0);
    for (int s = 0; s < 2; ++s) {
        QVERIFY(sequenceRow(view.table(), s)->figures.bdRate[Comparison::Yuv]);
        compareRow(*sequenceRow(view.table(), s), theirs.table.sequences.at(s), s == 0 ? "Clip" : "Raw");
    }
    compareRow(view.table().last(), theirs.table.overall.at(0), "overall");
    // The reversed comparison goes the other way.
    QVERIFY(anchorY * *sequenceRow(view.table(), 0)->figures.bdRate[0] < 0);
}

// Flips one byte in the middle of a file in place and gives it back its time of change to the
// nanosecond, as an edit that means to pass unseen would.
bool flipInPlace(const QString &path)
{
    struct stat before;
    if (::stat(QFile::encodeName(path).constData(), &before) != 0)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(file.size() / 2))
        return false;
    const QByteArray byte = file.read(1);
    if (byte.size() != 1 || !file.seek(file.size() / 2) || file.write(QByteArray(1, char(byte.at(0) ^ 0x10))) != 1)
        return false;
    file.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// A process that looks at the same cells again and again (the runner, the view, every write of
// the results) sees what a fresh one sees: a report and a bitstream edited in place with their
// times kept make their cells undone, and made as they were, done again.
void ExperimentViewTest::oneProcess_seesEveryEditAFreshProcessSees()
{
    QFile::remove(env.filePath("fail"));
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 90000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    ExperimentPlan plan;
    QVERIFY2(plan.read(env.filePath("tiny.json")), qPrintable(plan.error()));
    QCOMPARE(ExperimentResults::gather(plan).done, 16);
    const QString cells = plan.folder() + "/test/";
    const QString report = cells + "Clip_QP27.json", bitstream = cells + "Raw_QP32.265";
    QVERIFY(flipInPlace(report));
    QVERIFY(flipInPlace(bitstream));
    const ExperimentResults edited = ExperimentResults::gather(plan);
    QCOMPARE(edited.done, 14);
    QCOMPARE(edited.cell(plan, 0, 1, 1).state, CellFigures::Missing);
    QCOMPARE(edited.cell(plan, 1, 1, 2).state, CellFigures::Missing);
    // A fresh process says the same of the folder as it is.
    const TestSupport::RunResult fresh = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "--results"}, 60000,
                                                          folder);
    QVERIFY2(fresh.finished && fresh.out.contains("| Clip | n/a: QP27 test not done yet")
                 && fresh.out.contains("| Raw | n/a: QP32 test not done yet"),
             fresh.out.constData());
    QVERIFY(flipInPlace(report));
    QVERIFY(flipInPlace(bitstream));
    QCOMPARE(ExperimentResults::gather(plan).done, 16);
}

// A plan whose anchor takes its cells from another plan's folder ("cells"): the view finds them
// there, as the results do, and shows the results' table. Followed on a machine without the
// encoder (the wrapper moved away), the plan still opens and shows the same; only Run here is
// unavailable, and says why.
void ExperimentViewTest::sharedAnchor_givesTheResultsTable_alsoWhereTheEncoderIsMissing()
{
    QFile::remove(env.filePath("fail"));
    TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "tiny.json", "-j", "2"}, 90000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
    QJsonObject sharedPlan = tinyPlan(env.filePath("wrapper.sh"));
    QJsonArray configurations = sharedPlan.value("configurations").toArray();
    QJsonObject anchor = configurations.at(0).toObject();
    anchor.insert("cells", "tiny.results/anchor");
    configurations.replace(0, anchor);
    sharedPlan.insert("configurations", configurations);
    QVERIFY(TestSupport::writeFile(env.filePath("shared.json"), QJsonDocument(sharedPlan).toJson()));
    run = TestSupport::run(cliProgram(), {"--experiment", "shared.json", "-j", "2"}, 90000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());

    ExperimentPlan plan;
    QVERIFY2(plan.read(env.filePath("shared.json")), qPrintable(plan.error()));
    const ExperimentResults results = ExperimentResults::gather(plan);
    QCOMPARE(results.done, 16);
    QVERIFY(!QFileInfo::exists(plan.folder() + "/anchor/Clip_QP22.265"));
    const auto sameAsResults = [&](const ExperimentView &view) {
        QCOMPARE(count(view.cells(), CellState::Done), 16);
        const CellState &anchorCell = view.cells().at(plan.cellIndex(1, 0, 2));
        QVERIFY(anchorCell.madeBefore);
        QCOMPARE(anchorCell.figures.kbitPerSecond, results.cell(plan, 1, 0, 2).kbitPerSecond);
        for (int s = 0; s < 2; ++s) {
            QVERIFY(sequenceRow(view.table(), s)->figures.bdRate[Comparison::Yuv]);
            compareRow(*sequenceRow(view.table(), s), results.table.sequences.at(s), s == 0 ? "Clip" : "Raw");
        }
        compareRow(view.table().last(), results.table.overall.at(0), "overall");
        QCOMPARE(view.table().last().figures.sequences, 2);
    };
    {
        ExperimentView view(plan, nullptr, 200);
        QTRY_VERIFY_WITH_TIMEOUT(view.filled(), 10000);
        sameAsResults(view);
        QVERIFY(view.runControl()->isEnabled());
    }

    QVERIFY(QFile::rename(env.filePath("wrapper.sh"), env.filePath("wrapper.away")));
    auto restore = qScopeGuard([&] { QFile::rename(env.filePath("wrapper.away"), env.filePath("wrapper.sh")); });
    ExperimentPlan toRun, here;
    QVERIFY(!toRun.read(env.filePath("shared.json")));
    QVERIFY2(toRun.error().contains("does not exist"), qPrintable(toRun.error()));
    QCOMPARE(toRun.status(), 69);    // as for a plain job whose encoder cannot be run
    QVERIFY2(here.read(env.filePath("shared.json"), ExperimentPlan::ToFollow), qPrintable(here.error()));
    QVERIFY2(here.runProblem().contains(env.filePath("wrapper.sh")), qPrintable(here.runProblem()));
    ExperimentView view(here, nullptr, 200);
    QTRY_VERIFY_WITH_TIMEOUT(view.filled(), 10000);
    sameAsResults(view);
    QVERIFY(!view.runControl()->isEnabled());
    QVERIFY2(view.runControl()->toolTip().contains(env.filePath("wrapper.sh")), qPrintable(view.runControl()->toolTip()));
}

// A plan dropped on the transcoder window is told to whoever opens experiments and leaves the
// input as it was; a JSON file of other keys is no plan.
void ExperimentViewTest::droppedPlan_opensAsAnExperiment_notAsTheInput()
{
    QVERIFY(TestSupport::writeFile(env.filePath("other.json"), "{\"pictures\": []}\n"));
    QVERIFY(HenQ::isExperimentPlan(env.filePath("tiny.json")));
    QVERIFY(!HenQ::isExperimentPlan(env.filePath("other.json")));
    QVERIFY(!HenQ::isExperimentPlan(env.filePath("clip.mp4")));
    TestWindow window;
    const QString input = window.inputEdit->text();
    QSignalSpy opened(&window, &HenQ::experimentDropped);
    QMimeData mimeData;
    mimeData.setUrls({QUrl::fromLocalFile(env.filePath("tiny.json"))});
    QDragEnterEvent enter(window.rect().center(), Qt::CopyAction, &mimeData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(window.rect().center(), Qt::CopyAction, &mimeData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    QVERIFY(drop.isAccepted());
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 5000);
    QCOMPARE(opened.first().first().toString(), env.filePath("tiny.json"));
    QTest::qWait(50);
    QCOMPARE(window.inputEdit->text(), input);
}

QTEST_MAIN(ExperimentViewTest)

#include "tst_experimentview.moc"
