// A coding experiment with the VVC reference encoder beside the HEVC one, as users run it:
// morlunex-cli --experiment on a tiny raw sequence, each configuration's bitstreams checked by
// its own codec's decoder. Apart from tst_experiment, as the VVC encoder is slow.

#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using TestSupport::IsolatedEnvironment;

namespace {

QString cliProgram()
{
    return TestSupport::binDir() + QStringLiteral("/morlunex-cli");
}

bool writePlan(const QString &path, const QJsonObject &plan)
{
    return TestSupport::writeFile(path, QJsonDocument(plan).toJson());
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readFile(path)).object();
}

} // namespace

class VvcExperimentTest : public QObject
{
    Q_OBJECT

private slots:
    void vvcTest_againstHevcAnchor_everyHashChecksOut();
};

// A VVC test configuration against an HEVC anchor in one plan, as the two reference encoders'
// stock random-access files come (the plan adds the source keys), each with its own decoder:
// the VVC cells are .266 streams of every picture, every hash of both codecs checks out, and
// the tables and plots compare the two.
void VvcExperimentTest::vvcTest_againstHevcAnchor_everyHashChecksOut()
{
    const QString hevcEncoder = TestSupport::referenceTool("TAppEncoder");
    const QString hevcDecoder = TestSupport::referenceTool("TAppDecoder");
    const QString vvcFolder = QStringLiteral(MORLUNEX_TESTDATA_DIR "/reference-encoder-vvc");
    if (hevcEncoder.isEmpty() || hevcDecoder.isEmpty() || !QFile::exists(vvcFolder + "/bin/EncoderApp"))
        QSKIP("The reference encoders and decoders are not in ../shared/testdata");
    IsolatedEnvironment env;
    const QString folder = env.filePath("plan");
    QVERIFY(QDir().mkpath(folder));
    const int frames = 9;
    QVERIFY(TestSupport::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30", "-frames:v", QString::number(frames),
                                 "-pix_fmt", "yuv420p", "-f", "rawvideo", folder + "/tiny_64x48.yuv"}));
    const QByteArray hashes = "\nSEIDecodedPictureHash : 1\n";
    QVERIFY(TestSupport::writeFile(folder + "/hm.cfg", TestSupport::readFile(QStringLiteral(MORLUNEX_TESTDATA_DIR
                                                          "/reference-encoder/encoder_randomaccess_main.cfg")) + hashes));
    QVERIFY(TestSupport::writeFile(folder + "/vtm.cfg",
                                   TestSupport::readFile(vvcFolder + "/encoder_randomaccess_vtm.cfg") + hashes));
    const QJsonObject plan{
        {"sequences", QJsonArray{QJsonObject{{"name", "Tiny"}, {"path", "tiny_64x48.yuv"}, {"size", "64x48"},
                                             {"fps", 30}, {"class", "D"}}}},
        {"configurations",
         QJsonArray{QJsonObject{{"name", "hm"}, {"anchor", true}, {"encoder", hevcEncoder}, {"cfg", "hm.cfg"},
                                {"decoder", hevcDecoder}},
                    QJsonObject{{"name", "vtm"}, {"encoder", vvcFolder + "/bin/EncoderApp"}, {"cfg", "vtm.cfg"},
                                {"decoder", vvcFolder + "/bin/DecoderApp"}}}},
        {"qps", QJsonArray{27, 32, 37, 42}}};
    QVERIFY(writePlan(folder + "/mixed.json", plan));
    const TestSupport::RunResult run = TestSupport::run(cliProgram(), {"--experiment", "mixed.json", "-j", "2"}, 600000, folder);
    QVERIFY2(run.finished && run.exitCode == 0, (run.out + run.err).constData());

    const QString results = folder + "/mixed.results";
    const QJsonObject table = readJson(results + "/results.json");
    QCOMPARE(table.value("cells_done").toInt(), 8);
    const QString allHashes = QStringLiteral("%1/%1 OK").arg(frames);
    for (const QJsonValue &cell : table.value("cells").toArray())
        QCOMPARE(cell.toObject().value("hashes").toString(), allHashes);
    for (const int qp : {27, 32, 37, 42}) {
        const QString stream = results + QStringLiteral("/vtm/Tiny_QP%1.266").arg(qp);
        QVERIFY2(QFile::exists(stream), qPrintable(stream));
        QVERIFY(QFile::exists(results + QStringLiteral("/hm/Tiny_QP%1.265").arg(qp)));
        // The VVC decoder, run apart from the program, agrees.
        const TestSupport::RunResult decoded =
            TestSupport::run(vvcFolder + "/bin/DecoderApp", {"-b", stream, "-o", "/dev/null"}, 120000);
        QVERIFY(decoded.finished && decoded.exitCode == 0);
        QCOMPARE(int(decoded.out.count("(OK)")), frames);
    }
    const QJsonArray rows = table.value("sequences").toArray();
    QCOMPARE(rows.size(), 1);
    const QJsonObject row = rows.first().toObject();
    QVERIFY(row.value("dec_t").toDouble() > 0);
    QVERIFY(row.value("enc_t").toDouble() > 0);
    // The newer codec needs fewer bits for the same quality.
    QVERIFY2(row.value("bd_rate_y").toDouble() < 0, qPrintable(QString::number(row.value("bd_rate_y").toDouble())));
    QVERIFY(!QImage(results + "/plots/Tiny.png").isNull());
}

QTEST_GUILESS_MAIN(VvcExperimentTest)
#include "tst_vvcexperiment.moc"
