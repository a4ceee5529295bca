// Eight processes, each with one encoder and a host name of its own, on one folder: a job in
// segments and an experiment's cells, with the simulated cluster's stand-in encoder (it sleeps
// instead of encoding and writes real access units that tell which pictures it got). Every
// process holds work before any encoder may go on, so all eight share it. Every segment and
// every cell is encoded exactly once, the job's output is byte for byte the one a single
// process makes in one piece, and every cell's bitstream holds its sequence's pictures in order.

#include "support/testsupport.h"

#include "bench/cluster/standin.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

using TestSupport::IsolatedEnvironment;

namespace {

constexpr int processes = 8;

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

struct Run
{
    QString host;
    QString bitstream;
    int pictures = 0;
};

// The stand-in's runs, as it logs them: "host start end bitstream pictures".
QList<Run> standInRuns(const QString &folder)
{
    QList<Run> runs;
    for (const QByteArray &line : TestSupport::readFile(folder + "/runs.txt").split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 5)
            runs.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[3]), fields[4].toInt()});
    }
    return runs;
}

// Eight morlunex-cli processes, node1 to node8, started at once in `folder` with `arguments`.
// The stand-in holds every encoder until the gate file exists; it is made once `claims` returns
// eight claims (or after a minute, so that a process that failed shows in its status).
bool runEight(const QString &folder, const QStringList &arguments, const std::function<int()> &claims,
              QStringList *failures)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CLUSTER_MS_PER_PICTURE", "10");
    environment.insert("CLUSTER_GATE", folder + "/gate");
    std::vector<std::unique_ptr<QProcess>> fleet;
    for (int i = 1; i <= processes; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setWorkingDirectory(folder);
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start("unshare", QStringList{"--uts", "sh", "-c", "hostname \"$0\" && exec \"$@\"",
                                              QStringLiteral("node%1").arg(i), cliProgram()}
                                      + arguments);
        fleet.push_back(std::move(process));
    }
    if (!QTest::qWaitFor([&] { return claims() >= processes; }, 60000))
        qWarning("not every process claimed work within a minute");
    TestSupport::writeFile(folder + "/gate", "");
    bool ended = true;
    for (size_t i = 0; i < fleet.size(); ++i) {
        QProcess &process = *fleet[i];
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished(5000);
            ended = false;
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            *failures << QStringLiteral("node%1 ended with %2: %3").arg(i + 1).arg(process.exitCode())
                             .arg(QString::fromLocal8Bit(process.readAll().right(600)));
    }
    return ended;
}

int claimsIn(const QString &folder, const QString &pattern = QStringLiteral("*.claim"))
{
    return int(QDir(folder).entryList({pattern}, QDir::Files).size());
}

// The stand-in's folder copied into the test's own, so that its log is the test's.
bool copyStandIn(const QString &from, const QString &to)
{
    for (const QString &name : QDir(from).entryList(QDir::Files))
        if (name != "runs.txt" && !QFile::copy(from + "/" + name, to + "/" + name))
            return false;
    return true;
}

} // namespace

class ClusterTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eightHosts_oneJob_everySegmentOnce_andOnePiecesBytes();
    void eightHosts_oneExperiment_everyCellOnce();

private:
    IsolatedEnvironment shared;
};

void ClusterTest::initTestCase()
{
    if (TestSupport::run("unshare", {"--uts", "true"}).exitCode != 0)
        QSKIP("unshare --uts is not allowed here: no host names of their own for the processes");
    const QString unprepared = StandIn::prepare(shared.filePath("encoder"),
                                                QStringLiteral(MORLUNEX_SOURCE_DIR "/bench/cluster/sleeping-encoder.sh"));
    QVERIFY2(unprepared.isEmpty(), qPrintable(unprepared));
}

// 400 pictures in 40 segments over eight hosts: each segment's encoder ran once, the segments
// cover the input, every host encoded some, and the output is what one process writes in one
// piece, whose pictures are the input's in order. Nothing is left behind.
void ClusterTest::eightHosts_oneJob_everySegmentOnce_andOnePiecesBytes()
{
    constexpr int pictures = 400, length = 10;
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(copyStandIn(shared.filePath("encoder"), folder));
    QVERIFY(TestSupport::writeFile(folder + "/seq.yuv", StandIn::rawPictures(pictures, length)));
    const QStringList common{"-q", "-e", folder + "/sleeping-encoder.sh", "-c", folder + "/stand-in.cfg",
                             "--size", StandIn::size(), "--fps", "25", "seq.yuv"};

    QProcessEnvironment quick = QProcessEnvironment::systemEnvironment();
    quick.insert("CLUSTER_MS_PER_PICTURE", "1");
    const TestSupport::RunResult one =
        TestSupport::run(cliProgram(), common + QStringList{"-o", "one.265"}, 120000, folder, quick);
    QVERIFY2(one.finished && one.exitCode == 0, one.err.constData());
    QFile::remove(folder + "/runs.txt");

    QStringList failures;
    QVERIFY(runEight(folder, common + QStringList{"-j", "1", "--segment-length", QString::number(length), "-o", "eight.265"},
                     [&] { return claimsIn(folder + "/eight.265.parts", "part_*.claim"); }, &failures));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));

    static const QRegularExpression part(QStringLiteral("/part_([0-9]{7})\\.265"));
    QHash<int, int> encodes;
    QSet<QString> hosts;
    for (const Run &run : standInRuns(folder)) {
        const QRegularExpressionMatch match = part.match(run.bitstream);
        QVERIFY2(match.hasMatch(), qPrintable(run.bitstream));
        QCOMPARE(run.pictures, length);
        ++encodes[match.captured(1).toInt()];
        hosts << run.host;
    }
    QCOMPARE(encodes.size(), pictures / length);
    for (int first = 0; first < pictures; first += length)
        QCOMPARE(encodes.value(first), 1);
    QCOMPARE(hosts.size(), processes);

    const QByteArray eight = TestSupport::readFile(folder + "/eight.265");
    QVERIFY(!eight.isEmpty());
    QVERIFY(eight == TestSupport::readFile(folder + "/one.265"));
    QVERIFY(StandIn::slices(eight) == StandIn::expectedSlices(folder, pictures));
    QVERIFY(!QFile::exists(folder + "/eight.265.parts"));
    QCOMPARE(TestSupport::everythingIn(env.tempPath()), QStringList());
}

// 5 sequences x 2 configurations x 4 QPs over eight hosts: each cell encoded once, by every host
// some, recorded done, and holding its sequence's pictures in order.
void ClusterTest::eightHosts_oneExperiment_everyCellOnce()
{
    constexpr int sequences = 5, pictures = 6, cells = sequences * 2 * 4;
    IsolatedEnvironment env;
    const QString folder = env.path();
    QVERIFY(copyStandIn(shared.filePath("encoder"), folder));
    QVERIFY(TestSupport::writeFile(folder + "/cell.yuv", StandIn::rawPictures(pictures, pictures)));
    QJsonArray sequenceList;
    for (int s = 0; s < sequences; ++s)
        sequenceList.append(QJsonObject{{"name", QStringLiteral("S%1").arg(s)}, {"path", "cell.yuv"},
                                        {"size", StandIn::size()}, {"fps", 25}});
    const QString encoder = folder + "/sleeping-encoder.sh";
    const QString config = folder + "/stand-in.cfg";
    const QJsonArray configurations{QJsonObject{{"name", "anchor"}, {"anchor", true}, {"encoder", encoder}, {"cfg", config}},
                                    QJsonObject{{"name", "test"}, {"encoder", encoder}, {"cfg", config}}};
    QVERIFY(TestSupport::writeFile(folder + "/plan.json",
                                   QJsonDocument(QJsonObject{{"sequences", sequenceList}, {"configurations", configurations},
                                                             {"qps", QJsonArray{22, 27, 32, 37}}})
                                       .toJson()));

    const QString results = folder + "/plan.results";
    QStringList failures;
    QVERIFY(runEight(folder, {"--experiment", "plan.json", "-j", "1", "-q"},
                     [&] { return claimsIn(results + "/anchor") + claimsIn(results + "/test"); }, &failures));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));

    QHash<QString, int> encodes;
    QSet<QString> hosts;
    for (const Run &run : standInRuns(folder)) {
        ++encodes[QDir(results).relativeFilePath(run.bitstream)];
        hosts << run.host;
    }
    QCOMPARE(encodes.size(), cells);
    for (auto it = encodes.cbegin(); it != encodes.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    QCOMPARE(hosts.size(), processes);

    const QList<QByteArray> expected = StandIn::expectedSlices(folder, pictures);
    for (const char *configuration : {"anchor", "test"})
        for (int s = 0; s < sequences; ++s)
            for (int qp : {22, 27, 32, 37}) {
                const QString cell = QStringLiteral("%1/%2/S%3_QP%4").arg(results, QLatin1String(configuration)).arg(s).arg(qp);
                const QJsonObject record = QJsonDocument::fromJson(TestSupport::readFile(cell + ".record")).object();
                QVERIFY2(record.value("state").toString() == "done", qPrintable(cell));
                QVERIFY2(StandIn::slices(TestSupport::readFile(cell + ".265")) == expected, qPrintable(cell));
                QVERIFY2(!QFile::exists(cell + ".claim"), qPrintable(cell));
            }
    QVERIFY(QFile::exists(results + "/results.csv"));
}

QTEST_GUILESS_MAIN(ClusterTest)
#include "tst_cluster.moc"
